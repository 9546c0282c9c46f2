// Firmware image: the file loaded into memory, and its transfer block by block.
#pragma once

#include <cstdint>

typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;

// One record of the image, sent to the loader exactly as stored; fpflash reads none of its
// fields.
#pragma pack(push, 1)
struct block_download {
    BYTE title[4];
    WORD flags;
    WORD ID;
    WORD num_all;
    WORD adr;
    BYTE data[512];
    DWORD crc32;
};
#pragma pack(pop)
static_assert(sizeof(block_download) == 528, "a record is 528 bytes on the wire");

const uint32_t BLOCK_SIZE = sizeof(block_download);

// read_encrypt results besides 0.
const int IMAGE_NOT_OPENED = -1;
const int IMAGE_BAD_SIZE = -2;   // not a whole number of records
const int IMAGE_SHORT_READ = -3; // fewer bytes read than the file's length
const int IMAGE_TOO_LARGE = -4;  // past 2 GiB, or no memory for it

class file_download {
  public:
    int32_t size; // bytes loaded; a multiple of BLOCK_SIZE after a successful load
    BYTE* buf;    // the image, owned; null before any load

    file_download();
    ~file_download();
    file_download(const file_download&) = delete;
    file_download& operator=(const file_download&) = delete;

    // Loads the file at `fname` whole. Returns 0, or one of the IMAGE_ results; on a failure
    // the object keeps what it held.
    int read_encrypt(const char* fname);

    // Sends every record to the loader, each acknowledged before the next, three attempts
    // each. Returns 0 when all were acknowledged, -1 when one failed its third attempt.
    int download();
};

// The image of this run.
extern file_download file;
