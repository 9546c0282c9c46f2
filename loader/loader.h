// Loader protocol: the 4-byte command packets and the reply frames on endpoint 3.
#pragma once

#include <cstdint>

// Packet header in its first three bytes; the fourth, 0x22, is in none of the packets.
extern const unsigned char title_block[4];
const unsigned char code_state = 0x84;     // state query
const unsigned char code_CRC32_ver = 0x4A; // version and CRC32 query; the reply has this code
const unsigned char code_exit = 0xF1;      // leave the loader

const int BUF_IN_SIZE = 2048;
const int REPLY_READ_SIZE = 64;
const unsigned char SYNC_BYTE = 0x55;

// Reply codes the update driver acts on.
const int CODE_BLOCK_OK = 1;
const int CODE_DOWNLOAD_END = 2;
const int CODE_DOWNLOAD_BEGIN = 3;
const int CODE_FLASHING = 4;
const int CODE_FLASH_DONE = 6;
const int CODE_VERSION = code_CRC32_ver;
const int CODE_FLASH_FAILED = 251;
const int CODE_FLASH_ERROR = 253;
const int CODE_BLOCK_ERROR = 254;

// Local results, never a code byte.
const int RESP_SHORT = -1;    // too few bytes held
const int RESP_NO_FRAME = -2; // held bytes are no frame; they were dropped
const int CMD_NOT_WRITTEN = -100;

// Bytes received on endpoint 3 and not yet decoded, from index 0. Emptied by openUSB and,
// through the count, before every block; never before a command.
extern unsigned char buf_in[BUF_IN_SIZE];
extern int buf_in_adr;

// Decodes the next reply frame, reading endpoint 3 (at most two reads) only while 3 or fewer
// bytes are held or the frame at the front is incomplete. Returns the frame's code byte
// (0..255), RESP_SHORT (the incomplete bytes stay) or RESP_NO_FRAME. A version reply (74)
// stores its version in *d1 and CRC32 in *d2 where they are not null.
int get_response(uint32_t* d1, uint32_t* d2);

// State query: the reply code, a get_response failure, or CMD_NOT_WRITTEN.
int state_response();

// Version and CRC32 query: 74 with both outputs filled; on any other result both hold
// 0xFFFFFFFF.
int ver_CRC32_response(uint32_t* ver, uint32_t* crc32);

// Exit command: as state_response.
int exit_response();
