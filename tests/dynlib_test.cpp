// Dynamic loading: a plug-in loaded by path, its exports, and the failures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "quotelab/utilcore.h"

namespace {

const char* const kProbePath = QL_PLUGIN_DIR "/probe_plugin.so";

using AnswerFn = int (*)(int);

TEST(DynlibTest, LoadsPluginAndFindsExports) {
  void* lib = dynlib_open(kProbePath);
  ASSERT_NE(lib, nullptr) << dynlib_error();
  auto answer = reinterpret_cast<AnswerFn>(dynlib_sym(lib, "probe_plugin_answer"));
  ASSERT_NE(answer, nullptr) << dynlib_error();
  EXPECT_EQ(answer(1), 43);
  auto name = static_cast<const char*>(dynlib_sym(lib, "probe_plugin_name"));
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "probe");
  EXPECT_EQ(dynlib_sym(lib, "create_data_replay"), nullptr);
  EXPECT_NE(std::strstr(dynlib_error(), "create_data_replay"), nullptr) << dynlib_error();
  EXPECT_EQ(dynlib_sym(lib, nullptr), nullptr);
  dynlib_close(lib);
}

TEST(DynlibTest, FailuresAreReported) {
  EXPECT_EQ(dynlib_open(QL_PLUGIN_DIR "/no_such_plugin.so"), nullptr);
  EXPECT_NE(std::strstr(dynlib_error(), "no_such_plugin.so"), nullptr) << dynlib_error();
  EXPECT_EQ(dynlib_open(QL_PLUGIN_DIR), nullptr);  // a directory
  EXPECT_STRNE(dynlib_error(), "");
  // dlopen(NULL) would hand back the main program.
  EXPECT_EQ(dynlib_open(nullptr), nullptr);
  EXPECT_STRNE(dynlib_error(), "");
  EXPECT_EQ(dynlib_open(""), nullptr);
  EXPECT_EQ(dynlib_sym(nullptr, "probe_plugin_answer"), nullptr);
  dynlib_close(nullptr);
}

TEST(DynlibTest, ErrorTextIsPerThread) {
  EXPECT_EQ(dynlib_open(QL_PLUGIN_DIR "/first_missing.so"), nullptr);
  std::string other_thread_error = "unset";
  std::thread other([&other_thread_error] { other_thread_error = dynlib_error(); });
  other.join();
  EXPECT_EQ(other_thread_error, "");
  EXPECT_NE(std::strstr(dynlib_error(), "first_missing.so"), nullptr);
}

}  // namespace
