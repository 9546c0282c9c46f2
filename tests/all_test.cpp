// fpflash-all's reading of a transcript: from fpflash's own output, where each run ended, the
// versions before and after, whether the printer was left in its loader, and the status as
// fpflash returned it from the byte its parent sees.
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "all/all.h"

namespace {

// The transcripts of the end-to-end scenarios, or one written out here.
std::string transcript(const char* name) {
    if (strchr(name, '\n') != nullptr)
        return name;
    std::ifstream in(std::string(FP_E2E_EXPECTED) + "/" + name + ".txt");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_TRUE(in.good()) << name;
    return text.str();
}

TEST(all_progress, reads_each_end_from_its_transcript) {
    const struct {
        const char* transcript;
        int exit_byte, status;
        const char* meaning;
        const char* before;
        const char* after;
        bool found_in_loader, in_loader;
    } cases[] = {
        {"complete_update", 0, 0, "updated", "1.2.3", "1.2.4", false, false},
        {"already_in_loader", 0, 0, "updated", "", "1.2.4", true, false},
        {"first_crc_fails", 255, -1, "the loader answered the first CRC32 query with -1", "1.2.3",
         "", false, true},
        {"block_never_acknowledged", 255, -1, "the download failed", "1.2.3", "1.2.4", false,
         false},
        {"unscannable_version", 255, -1, "the new firmware's reply held no readable version", "",
         "", false, false},
        {"flash_failed", 251, 251, "writing its flash failed", "1.2.3", "1.2.4", false, false},
        {"no_return_after_upgrade", 255, -1, "within 20 attempts after the switch to its loader",
         "1.2.3", "", false, true},
        {"state_write_fails_gone", 255, -1, "within 20 attempts after \"Exit USB\"", "1.2.3", "",
         false, true},
        {"bad_size_image", 254, -2, "not a whole number of 528-byte records", "", "", false, false},
        // A loader code that is no negative status, though its byte is -2's.
        {"Open USB - O'k\nERROR read version, res = 0\nERROR read CRC32, code - 254\n", 254, 254,
         "first CRC32 query with 254", "", "", false, false},
        {"Open USB - O'k\nERROR read version, res = 0\nERROR read CRC32, code - -100\n", 156, -100,
         "first CRC32 query with -100", "", "", false, false},
    };
    for (const auto& c : cases) {
        all_progress p;
        std::istringstream lines(transcript(c.transcript));
        for (std::string line; std::getline(lines, line);)
            all_take_line(&p, line);
        int status = all_status(c.exit_byte, p);
        EXPECT_EQ(c.status, status) << c.transcript;
        EXPECT_NE(all_meaning(status, p).find(c.meaning), std::string::npos)
            << c.transcript << ": " << all_meaning(status, p);
        EXPECT_EQ(c.before, p.before) << c.transcript;
        EXPECT_EQ(c.after, p.after) << c.transcript;
        EXPECT_EQ(c.found_in_loader, p.found_in_loader) << c.transcript;
        EXPECT_EQ(c.in_loader, p.in_loader) << c.transcript;
    }
}

} // namespace
