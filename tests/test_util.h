// Shared by the in-process suites: console capture and a clean slate of process-wide state.
#pragma once

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "tests/fake_platform.h"

// Points the console at memory for one test; `input` is what the user "types".
class console_capture {
  public:
    explicit console_capture(const std::string& input = "\n");
    ~console_capture();
    console_capture(const console_capture&) = delete;
    console_capture& operator=(const console_capture&) = delete;
    std::string text();
    // How many characters of input have been consumed.
    long keys_read();

  private:
    char* out_buf = nullptr;
    size_t out_len = 0;
    FILE* out = nullptr;
    std::string in_text;
    FILE* in = nullptr;
};

// A fixture that starts every test from program start: fake device, empty read-ahead and
// reply buffer, invalid handle, console captured.
class fresh_state : public ::testing::Test {
  protected:
    void SetUp() override;
    // `b` waits in the reply buffer, as if left by an earlier read.
    void hold_reply(const std::vector<uint8_t>& b);
    console_capture con;
};

// Bytes as a vector, for scripting reads.
std::vector<uint8_t> bytes(std::initializer_list<int> list);

// Calls `parse(argc, argv)` on `args` as the shell would pass them, `program` in front.
template <typename F>
int parse_args(const char* program, std::vector<std::string> args, F parse) {
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return parse(static_cast<int>(args.size()), argv.data());
}
