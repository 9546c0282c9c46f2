// The JSON documents and the reading of the version out of the firmware's reply.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "driver/driver.h"

namespace {

TEST(documents, are_the_exact_texts_with_their_terminator) {
    std::string get(command_ver_main, sizeof(command_ver_main));
    std::string up(command_download_main, sizeof(command_download_main));
    EXPECT_EQ(116u, get.size());
    EXPECT_EQ(117u, up.size());
    EXPECT_EQ('\0', get.back());
    EXPECT_EQ('\0', up.back());
    EXPECT_EQ(115u, strlen(command_ver_main));
    EXPECT_EQ(116u, strlen(command_download_main));

    const std::string get_head =
        "{\"document\": {\"sessionId\": \"0\", \"data\": {}, \"login\": \"0\", \"password\": \"";
    const std::string get_tail = "\", \"command\": \"get_version\", \"print\": \"1\"}}";
    const std::string up_head = "{\"document\": {\"login\": \"0\", \"data\": {}, \"password\": \"";
    const std::string up_tail =
        "\", \"print\": \"1\", \"sessionId\": \"0\", \"command\": \"upgrade_mode\"}}";
    ASSERT_EQ(71u, get_head.size());
    ASSERT_EQ(43u, get_tail.size());
    ASSERT_EQ(53u, up_head.size());
    ASSERT_EQ(62u, up_tail.size());

    char digit = command_ver_main[71];
    EXPECT_TRUE(digit >= '0' && digit <= '9');
    EXPECT_EQ(get_head + digit + get_tail, std::string(command_ver_main));
    EXPECT_EQ(up_head + digit + up_tail, std::string(command_download_main));
}

struct scan_case {
    const char* name;
    std::string reply;
    int result;
    std::string version;
};

class scan : public ::testing::TestWithParam<scan_case> {};

TEST_P(scan, finds_the_first_value_member) {
    const scan_case& c = GetParam();
    std::string in = c.reply;
    in.resize(REPLY_SIZE + 1, '\0');
    char ver[VERSION_SIZE];
    memset(ver, 'X', sizeof(ver));
    EXPECT_EQ(c.result, scan_version(in.data(), ver));
    if (c.result == 0) {
        EXPECT_EQ(c.version, std::string(ver));
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, scan,
    ::testing::Values(
        scan_case{"plain", "{\"result\": {\"value\": \"3.1.4\"}}", 0, "3.1.4"},
        scan_case{"spaces_before_quote", "{\"value\":    \"2.0\" }", 0, "2.0"},
        scan_case{"number_takes_next_quoted", "{\"value\": 12, \"name\": \"x\"}", 0, "name"},
        scan_case{"empty_string", "{\"value\": \"\"}", 0, ""},
        scan_case{"second_member_ignored", "{\"value\":\"a\",\"value\":\"b\"}", 0, "a"},
        scan_case{"nested_deep", "{\"x\":{\"y\":{\"value\":\"deep\"}}}", 0, "deep"},
        scan_case{"no_key", "{\"version\": \"1.0\"}", -1, ""},
        scan_case{"case_matters", "{\"Value\": \"1.0\"}", -1, ""},
        scan_case{"ten_characters_or_fewer", "\"value\":\"\"", -1, ""},
        scan_case{"key_then_two_characters", "xx\"value\":\"1", -1, ""},
        scan_case{"key_then_three_characters", "\"value\":\"1\"", 0, "1"},
        scan_case{"no_quote_after_key", "{\"value\": 12345}", -2, ""},
        scan_case{"no_closing_quote", "{\"value\": \"1.2.3", -3, ""},
        scan_case{"empty_text", "", -1, ""}, scan_case{"short_text", "ab", -1, ""},
        scan_case{"long_version_cut_to_31", "{\"value\": \"" + std::string(200, 'v') + "\"}", 0,
                  std::string(31, 'v')}),
    [](const ::testing::TestParamInfo<scan_case>& i) { return std::string(i.param.name); });

TEST(scan_version, a_reply_filling_the_whole_buffer_is_read_only_within_it) {
    // No terminator within REPLY_SIZE: the closing quote beyond it must not be seen.
    std::string in = "{\"value\": \"" + std::string(REPLY_SIZE, 'z');
    in.replace(REPLY_SIZE, std::string::npos, "\"}");
    char ver[VERSION_SIZE];
    EXPECT_EQ(-3, scan_version(in.data(), ver));

    std::string fits = "{\"value\": \"1.0\"" + std::string(REPLY_SIZE, ' ');
    fits.resize(REPLY_SIZE);
    EXPECT_EQ(0, scan_version(fits.data(), ver));
    EXPECT_STREQ("1.0", ver);
}

} // namespace
