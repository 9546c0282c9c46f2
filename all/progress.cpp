// What fpflash's transcript says about where its update is. The lines are fpflash's own
// messages; a firmware's raw reply is printed without a line end, so a message may follow it on
// the same line, and the messages that can are looked for at the end of the line.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "all/all.h"

static const int OPEN_ATTEMPTS = 20;

static bool starts(const std::string& line, const char* head) {
    return line.compare(0, strlen(head), head) == 0;
}

static bool ends(const std::string& line, const char* tail) {
    size_t n = strlen(tail);
    return line.size() >= n && line.compare(line.size() - n, n, tail) == 0;
}

// The number after `head`, when the line is `head` and a number.
static std::optional<int> number_after(const std::string& line, const char* head) {
    if (!starts(line, head))
        return std::nullopt;
    const char* s = line.c_str() + strlen(head);
    char* end = nullptr;
    long v = strtol(s, &end, 10);
    if (end == s || *end != '\0' || v < -1000000 || v > 1000000)
        return std::nullopt;
    return static_cast<int>(v);
}

// What a quoted image name leaves: "File '" NAME "' not found", and the like.
static bool image_message(const std::string& line, const char* head, const char* tail) {
    return starts(line, head) && line.find(tail) != std::string::npos;
}

void all_take_line(all_progress* p, const std::string& line) {
    if (starts(line, "ERROR"))
        p->error = line;
    if (line == "Open USB - O'k") {
        p->waits = 0;
        if (p->phase == ALL_OPENING)
            p->phase = ALL_VERSION;
        else if (p->phase == ALL_SWITCH)
            p->phase = ALL_LOADER;
        else if (p->phase == ALL_EXIT)
            p->phase = ALL_NEW_VERSION;
    } else if (line == "Wait open USB") {
        p->waits++;
    } else if (starts(line, "Version: ")) {
        (p->phase <= ALL_VERSION ? p->before : p->after) = line.substr(strlen("Version: "));
    } else if (ends(line, "Write command 'upgrade_mode' - O'k")) {
        p->phase = ALL_SWITCH;
        p->in_loader = true;
    } else if (starts(line, "ERROR read version, res = ") && p->phase <= ALL_VERSION) {
        // The loader phase starts on the open handle: a printer found in its loader.
        p->phase = ALL_LOADER;
    } else if (starts(line, "CRC32 = 0x")) {
        if (p->phase == ALL_LOADER)
            p->found_in_loader = p->before.empty() && !p->in_loader;
        p->in_loader = true;
    } else if (std::optional<int> code = number_after(line, "ERROR read CRC32, code - ")) {
        if (p->phase <= ALL_LOADER)
            p->first_crc = code;
    } else if (starts(line, "Download file '") && ends(line, "'...")) {
        p->phase = ALL_DOWNLOAD;
        p->block = 0;
    } else if (std::optional<int> block = number_after(line, "Download block ")) {
        p->block = *block;
    } else if (starts(line, "ERROR download file ")) {
        p->download_failed = true;
    } else if (starts(line, "Download file '") && ends(line, "' - O'k")) {
        p->phase = ALL_FLASH;
    } else if (line == "Download ERROR fiscal printer") {
        p->flash_failed = true;
    } else if (starts(line, "Exit loader  code = ")) {
        p->phase = ALL_EXIT;
        p->in_loader = false;
    } else if (ends(line, "Press 'Enter' for exit...")) {
        p->closed = true;
    } else if (image_message(line, "File '", "' not found")) {
        p->image_code = -1;
    } else if (image_message(line, "ERROR in file '", "' code = ")) {
        p->image_code = atoi(line.c_str() + line.rfind(" = ") + 3);
    }
}

int all_status(int exit_byte, const all_progress& p) {
    const std::optional<int> said[] = {p.image_code, p.first_crc};
    auto exact = std::find_if(std::begin(said), std::end(said), [&](const std::optional<int>& s) {
        return s && (*s & 0xFF) == exit_byte;
    });
    if (exact != std::end(said))
        return **exact;
    // What else fpflash returns below 0: -1 to -4, and -100 for a command not written whole.
    if (exit_byte >= 252)
        return exit_byte - 256;
    return exit_byte == 156 ? -100 : exit_byte;
}

std::string all_meaning(int status, const all_progress& p) {
    static const char* const image_meanings[] = {
        "the image could not be opened", "the image is not a whole number of 528-byte records",
        "the image could not be read whole", "the image is too large to hold"};
    if (status == 0)
        return "updated";
    if (p.image_code)
        return *p.image_code <= -1 && *p.image_code >= -4 ? image_meanings[-*p.image_code - 1]
                                                          : "the image was refused";
    bool lost = p.waits >= OPEN_ATTEMPTS;
    if (p.first_crc)
        return "the loader answered the first CRC32 query with " + std::to_string(*p.first_crc) +
               ", not its version";
    if (p.download_failed)
        return lost ? "the download failed, and the printer did not come back"
                    : "the download failed";
    if (p.flash_failed && status == 251)
        return "the printer reported that writing its flash failed";
    if (lost) {
        const char* when = p.phase == ALL_OPENING  ? ""
                           : p.phase == ALL_SWITCH ? " after the switch to its loader"
                           : p.phase == ALL_EXIT   ? " after its loader's exit"
                                                   : " after \"Exit USB\"";
        return std::string("the printer could not be opened within 20 attempts") + when;
    }
    if (p.phase == ALL_NEW_VERSION)
        return "the new firmware's reply held no readable version";
    if (!p.error.empty())
        return "failed at: " + p.error.substr(strlen("ERROR "));
    return "failed: see the log";
}

std::string all_phase_text(const all_progress& p, int blocks, bool detail) {
    if (p.closed)
        return "done";
    std::string waiting = p.waits == 0 ? ""
                          : detail     ? ", waiting for it (" + std::to_string(p.waits) + " of 20)"
                                       : ", waiting for it";
    switch (p.phase) {
    case ALL_OPENING:
        return "looking for the printer" + waiting;
    case ALL_VERSION:
        return "asking its version";
    case ALL_SWITCH:
        return "switching to its loader" + waiting;
    case ALL_LOADER:
        return "in its loader";
    case ALL_DOWNLOAD:
        if (p.download_failed)
            return "download failed, closing the loader" + waiting;
        if (!detail)
            return "sending " + std::to_string(blocks) + " blocks" + waiting;
        return "block " + std::to_string(p.block) + " of " + std::to_string(blocks) + waiting;
    case ALL_FLASH:
        return (p.flash_failed ? "flash failed, closing the loader" : "writing its flash") +
               waiting;
    case ALL_EXIT:
        return "leaving its loader" + waiting;
    case ALL_NEW_VERSION:
        break;
    }
    return "asking its new version";
}
