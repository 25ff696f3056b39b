// A minimal plug-in for the dynamic loading tests: one C export with a known answer.
extern "C" __attribute__((visibility("default"))) int probe_plugin_answer(int x) {
  return x + 42;
}

extern "C" __attribute__((visibility("default"))) const char probe_plugin_name[] = "probe";
