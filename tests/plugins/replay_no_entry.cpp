// A library that loads but lacks the replay entry point "create_data_replay".
extern "C" __attribute__((visibility("default"))) int replay_no_entry_marker(void) {
  return 1;
}
