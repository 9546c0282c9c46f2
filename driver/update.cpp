#include <cstdint>
#include <cstring>

#include "common/console.h"
#include "driver/driver.h"
#include "image/image.h"
#include "loader/loader.h"
#include "usb/usb.h"

static const size_t FILE_NAME_SIZE = 1024;
static const size_t FILE_NAME_MAX = 1020;

static const uint32_t VERSION_REPLY_WAIT_MS = 1000;
static const uint32_t SWITCH_WAIT_MS = 3000;      // firmware re-enumerates as the loader
static const uint32_t FLASH_START_WAIT_MS = 2500; // loader starts writing its flash
static const uint32_t STATE_POLL_MS = 500;
static const uint32_t EXIT_USB_WAIT_MS = 500;
static const uint32_t LOADER_EXIT_WAIT_MS = 2000; // loader re-enumerates as the firmware

// The locals of one run, shared by the steps below.
struct run_locals {
    int res;
    char file_name[FILE_NAME_SIZE];
    int num_print;
    char vers[VERSION_SIZE];
    uint32_t ver;
    uint32_t crc32;
    // One spare byte keeps a reply that fills the whole read terminated.
    char buf_in_main[REPLY_SIZE + 1];
    // A failure of the update itself; the closing steps must not hide it behind a
    // readable final version.
    int failed;
};

enum query_end { QUERY_WRITE_FAILED, QUERY_READ_FAILED, QUERY_DONE };

// An ERROR step whose result happens to be 0 must not end the run as a success.
static int error_status(int res) {
    return res == 0 ? -1 : res;
}

static query_end version_query(run_locals* r) {
    r->res = writeUSB(command_ver_main, sizeof(command_ver_main), EP_JSON);
    if (r->res <= 0) {
        con_puts("ERROR write command 'get_version'");
        return QUERY_WRITE_FAILED;
    }
    con_puts("Write command 'get_version' - O'k");
    plat_sleep(VERSION_REPLY_WAIT_MS);

    memset(r->buf_in_main, 0, sizeof(r->buf_in_main));
    r->res = readUSB(r->buf_in_main, REPLY_SIZE, EP_JSON);
    if (r->res <= 0) {
        con_printf("ERROR read version, res = %d\n", r->res);
        return QUERY_READ_FAILED;
    }
    con_printf("Version, read %d bytes\n", r->res);
    r->res = scan_version(r->buf_in_main, r->vers);
    if (r->res == 0)
        con_printf("Version: %s\n", r->vers);
    else
        con_printf("%s", r->buf_in_main);
    return QUERY_DONE;
}

static int end_all(run_locals* r) {
    plat_close(husb);
    con_puts("Press 'Enter' for exit...");
    con_wait_key();
    return r->failed != 0 ? r->failed : r->res;
}

// What only the loader that was writing answers. After "Exit USB" the device that came back is
// heard out before it is trusted: a loader that has finished and restarted by itself (most
// likely into its new firmware) can't take the state command, or has no state to give.
static const int loader_states[] = {CODE_BLOCK_OK,   CODE_DOWNLOAD_END, CODE_FLASHING,
                                    CODE_FLASH_DONE, CODE_FLASH_FAILED, CODE_FLASH_ERROR,
                                    CODE_BLOCK_ERROR};
static const int NO_STATE_POLLS = 3;

static bool is_loader_state(int res) {
    for (int s : loader_states)
        if (res == s)
            return true;
    return false;
}

// Polls the loader until the printer has written its flash (or failed to), reopening the device
// after "Exit USB". Returns true to close the loader phase, false when it could not be reopened.
static bool poll_state(run_locals* r) {
    // Polls since the reopening that brought no loader state; -1 once the loader is heard.
    int no_state = -1;
    for (;;) {
        r->res = state_response();
        if (no_state >= 0 && !is_loader_state(r->res)) {
            con_printf("Download get_response res = %d\n", r->res);
            if (r->res == CMD_NOT_WRITTEN || ++no_state == NO_STATE_POLLS)
                return true;
            plat_sleep(STATE_POLL_MS);
            continue;
        }
        no_state = -1;
        switch (r->res) {
        case CODE_BLOCK_OK:
            con_puts("Download block - O'k");
            break;
        case CODE_DOWNLOAD_END:
            con_puts("Download END - O'k");
            break;
        case CODE_FLASHING:
            con_printf("Download fiscal printer... %d\n", r->num_print);
            r->num_print++;
            break;
        case CODE_FLASH_DONE:
            con_puts("Download end fiscal printer - O'k");
            return true;
        case CODE_FLASH_FAILED:
            con_puts("Download ERROR fiscal printer");
            r->failed = CODE_FLASH_FAILED;
            return true;
        case CODE_FLASH_ERROR:
            con_puts("Download ERROR FLASH");
            break;
        case CODE_BLOCK_ERROR:
            con_puts("Download ERROR block");
            break;
        case CMD_NOT_WRITTEN:
            con_puts("Exit USB");
            plat_close(husb);
            plat_sleep(EXIT_USB_WAIT_MS);
            if (connect_ADM_USB() != 0)
                return false;
            // A glitch leaves the loader writing: telling it to leave before it says it is done
            // would report success for an update not finished.
            no_state = 0;
            break;
        default:
            con_printf("Download get_response res = %d\n", r->res);
            break;
        }
        plat_sleep(STATE_POLL_MS);
    }
}

static int update_sequence(run_locals* r) {
    if (connect_ADM_USB() != 0)
        return -1;

    query_end q = version_query(r);
    if (q == QUERY_WRITE_FAILED) {
        r->res = error_status(r->res);
        return end_all(r);
    }
    // A firmware that does not answer may already be the loader: go on on this handle.
    if (q == QUERY_DONE) {
        r->res = writeUSB(command_download_main, sizeof(command_download_main), EP_JSON);
        if (r->res <= 0) {
            con_puts("ERROR write command 'upgrade_mode'");
            r->res = error_status(r->res);
            return end_all(r);
        }
        plat_close(husb);
        con_puts("Write command 'upgrade_mode' - O'k");
        plat_sleep(SWITCH_WAIT_MS);
        if (connect_ADM_USB() != 0)
            return -1;
    }

    // begin_load
    r->res = ver_CRC32_response(&r->ver, &r->crc32);
    if (r->res != CODE_VERSION) {
        con_printf("ERROR read CRC32, code - %d\n", r->res);
        r->res = error_status(r->res);
        return end_all(r);
    }
    con_printf("CRC32 = 0x%08X\n", r->crc32);

    con_printf("Download file '%s'...\n", r->file_name);
    r->res = file.download();
    if (r->res != 0) {
        con_printf("ERROR download file %s\n", r->file_name);
        r->failed = r->res;
    } else {
        con_printf("Download file '%s' - O'k\n", r->file_name);
        plat_sleep(FLASH_START_WAIT_MS);
        r->num_print = 0;
        if (!poll_state(r)) {
            con_wait_key();
            return -1;
        }
    }

    // end_exit: the loader is told to leave whatever happened to the download.
    r->res = ver_CRC32_response(&r->ver, &r->crc32);
    if (r->res == CODE_VERSION)
        con_printf("CRC32 = 0x%08X\n", r->crc32);
    else
        con_printf("ERROR read CRC32, code - %d\n", r->res);
    r->res = exit_response();
    con_printf("Exit loader  code = %d\n", r->res);
    plat_close(husb);
    plat_sleep(LOADER_EXIT_WAIT_MS);
    if (connect_ADM_USB() != 0)
        return -1;

    if (version_query(r) != QUERY_DONE)
        r->res = error_status(r->res);
    return end_all(r);
}

int fpflash_main(int argc, char** argv) {
    run_locals r;
    memset(&r, 0, sizeof(r));

    if (argc <= 1) {
        con_puts("ERROR command line");
        con_wait_key();
        return 1;
    }
    size_t arg_len = strlen(argv[1]);
    memcpy(r.file_name, argv[1], arg_len < FILE_NAME_MAX ? arg_len : FILE_NAME_MAX);
    // A cut path could name another file; treat it as one that cannot be opened.
    r.res = arg_len > FILE_NAME_MAX ? IMAGE_NOT_OPENED : file.read_encrypt(r.file_name);
    if (r.res == IMAGE_NOT_OPENED) {
        con_printf("File '%s' not found\n", r.file_name);
        con_wait_key();
        return -1;
    }
    if (r.res != 0) {
        con_printf("ERROR in file '%s' code = %d\n", r.file_name, r.res);
        con_wait_key();
        return r.res;
    }
    con_printf("Read file '%s' - O'k\n", r.file_name);
    return update_sequence(&r);
}
