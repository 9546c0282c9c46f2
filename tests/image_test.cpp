// The image file and the block download, against the scripted device and the virtual clock.
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include <unistd.h>

#include "tests/scratch.h"
#include "tests/test_util.h"
#include "image/image.h"
#include "loader/loader.h"
#include "usb/usb.h"

namespace {

// An image file of `length` bytes in `dir`, its contents and name made from `seed`.
std::string temp_image(const scratch_dir& dir, size_t length, int seed = 1) {
    std::string data(length, '\0');
    for (size_t i = 0; i < length; i++)
        data[i] = static_cast<char>((i * 7 + static_cast<size_t>(seed)) & 0xFF);
    return dir.write(std::to_string(length) + "-" + std::to_string(seed), data);
}

std::string contents(const file_download& f) {
    return std::string(reinterpret_cast<const char*>(f.buf), static_cast<size_t>(f.size));
}

std::string file_text(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

TEST(read_encrypt, loads_whole_records_exactly_as_stored) {
    scratch_dir dir{"fpflash-image-"};
    for (size_t len : {size_t(0), size_t(528), size_t(1056), size_t(528 * 33)}) {
        std::string path = temp_image(dir, len);
        file_download img;
        ASSERT_EQ(0, img.read_encrypt(&path[0])) << len;
        EXPECT_EQ(static_cast<int32_t>(len), img.size);
        EXPECT_NE(nullptr, img.buf);
        EXPECT_EQ(file_text(path), contents(img));
    }
}

TEST(read_encrypt, rejects_what_is_not_a_whole_number_of_records) {
    scratch_dir dir{"fpflash-image-"};
    std::string good = temp_image(dir, 528, 5);
    file_download img;
    ASSERT_EQ(0, img.read_encrypt(&good[0]));
    for (size_t len : {size_t(1), size_t(527), size_t(529), size_t(1055)}) {
        std::string path = temp_image(dir, len);
        EXPECT_EQ(-2, img.read_encrypt(&path[0])) << len;
    }
    // The image loaded before is kept whole.
    EXPECT_EQ(528, img.size);
    EXPECT_EQ(file_text(good), contents(img));
}

// A directory, a FIFO with no writer, a socket and a device are refused like a missing file.
TEST(read_encrypt, what_is_not_a_regular_file_is_not_opened) {
    not_regular_files odd;
    std::vector<std::string> paths = odd.paths();
    paths.push_back("/nonexistent/dir/image.bin");
    file_download img;
    for (std::string& p : paths)
        EXPECT_EQ(-1, img.read_encrypt(&p[0])) << p;
    EXPECT_EQ(0, img.size);
    EXPECT_EQ(nullptr, img.buf);
}

TEST(read_encrypt, loading_twice_keeps_only_the_second_image) {
    scratch_dir dir{"fpflash-image-"};
    std::string a = temp_image(dir, 528, 1), b = temp_image(dir, 1056, 2);
    file_download img;
    ASSERT_EQ(0, img.read_encrypt(&a[0]));
    ASSERT_EQ(0, img.read_encrypt(&b[0]));
    EXPECT_EQ(file_text(b), contents(img));
}

TEST(read_encrypt, an_image_too_large_to_hold_is_refused) {
    char name[] = "/tmp/fpflash-huge-XXXXXX";
    int fd = mkstemp(name);
    // Sparse: 2 GiB + 528 bytes costs no disk.
    ASSERT_EQ(0, ftruncate(fd, off_t(0x80000000LL) + 528));
    close(fd);
    file_download img;
    EXPECT_EQ(-4, img.read_encrypt(name));
    EXPECT_EQ(nullptr, img.buf);
    unlink(name);
}

// Download

class download_test : public fresh_state {
  protected:
    void load(uint32_t blocks) {
        std::string path = temp_image(dir, blocks * BLOCK_SIZE, 3);
        ASSERT_EQ(0, file.read_encrypt(&path[0]));
    }
    void ack(int code) { fake.reads[3].push_back({false, bytes({0x55, 0x55, code, code})}); }
    scratch_dir dir{"fpflash-image-"};
};

TEST_F(download_test, an_empty_image_sends_nothing_and_succeeds) {
    load(0);
    EXPECT_EQ(0, file.download());
    EXPECT_TRUE(fake_log.empty());
    EXPECT_EQ("", con.text());
}

TEST_F(download_test, one_record_acknowledged_at_once_costs_forty_milliseconds) {
    load(1);
    ack(1);
    EXPECT_EQ(0, file.download());
    EXPECT_EQ("Download block 0\n", con.text());
    ASSERT_EQ(1u, fake.written[3].size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(file.buf), 528),
              std::string(fake.written[3][0].begin(), fake.written[3][0].end()));
    EXPECT_EQ(40u, fake_clock_ms);
}

TEST_F(download_test, every_record_goes_out_in_order_with_progress_every_twenty) {
    load(41);
    for (int i = 0; i < 41; i++)
        ack(i == 0 ? 3 : i == 40 ? 2 : 1);
    EXPECT_EQ(0, file.download());
    EXPECT_EQ("Download block 0\nDownload begin - O'k\nDownload block 20\nDownload block 40\n"
              "Download END - O'k\n",
              con.text());
    ASSERT_EQ(41u, fake.written[3].size());
    std::string sent;
    for (const auto& w : fake.written[3])
        sent.append(w.begin(), w.end());
    EXPECT_EQ(contents(file), sent);
}

TEST_F(download_test, a_rejecting_code_ends_the_attempt_at_once) {
    load(2);
    ack(254); // record 0, first attempt
    ack(1);
    ack(1);
    EXPECT_EQ(0, file.download());
    ASSERT_EQ(3u, fake.written[3].size());
    EXPECT_EQ(fake.written[3][0], fake.written[3][1]);
    // 20 poll + 20 gap, then 20 + 20 per acknowledged record.
    EXPECT_EQ(120u, fake_clock_ms);
}

TEST_F(download_test, three_rejections_stop_the_download) {
    load(3);
    ack(0);
    fake.reads[3].push_back({false, bytes({0x55, 0x55, 0x4A, 0x4A, 1, 2, 3, 4, 5, 6, 7, 8})});
    ack(254);
    EXPECT_EQ(-1, file.download());
    EXPECT_EQ(3u, fake.written[3].size());
    EXPECT_EQ(120u, fake_clock_ms);
}

TEST_F(download_test, a_silent_loader_costs_exactly_the_worst_case) {
    load(2);
    EXPECT_EQ(-1, file.download());
    ASSERT_EQ(3u, fake.written[3].size());
    for (const auto& w : fake.written[3])
        EXPECT_EQ(std::vector<uint8_t>(file.buf, file.buf + 528), w);
    EXPECT_EQ(12060u, fake_clock_ms);
    EXPECT_EQ(600u, fake_calls(OP_READ).size());
}

TEST_F(download_test, an_answer_left_from_before_cannot_acknowledge_the_next_record) {
    load(1);
    hold_reply(bytes({0x55, 0x55, 1, 1}));
    fake.reads[3].push_back({false, bytes({0x55, 0x55, 0xFE, 0xFE})});
    ack(1);
    EXPECT_EQ(0, file.download());
    EXPECT_EQ(2u, fake.written[3].size());
}

TEST_F(download_test, an_acknowledgement_on_the_last_poll_still_counts) {
    load(1);
    for (int i = 0; i < 198; i++) // 99 polls of two empty reads each
        fake.reads[3].push_back({false, {}});
    ack(1);
    EXPECT_EQ(0, file.download());
    EXPECT_EQ(1u, fake.written[3].size());
}

TEST_F(download_test, a_failed_write_shows_only_as_an_unacknowledged_attempt) {
    load(1);
    fake.writes[3].push_back({true, 0});
    for (int i = 0; i < 200; i++)
        fake.reads[3].push_back({false, {}});
    ack(1);
    EXPECT_EQ(0, file.download());
    EXPECT_EQ(1u, fake.written[3].size());
    EXPECT_EQ(2u, fake_calls(OP_WRITE).size());
}

} // namespace
