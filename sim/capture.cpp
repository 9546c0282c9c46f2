// Captures of the USB bus as a printer's recording: libpcap reads the file, this decodes the
// pseudo-header each packet carries (every byte of it outside input) and finds the printer.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include <pcap/pcap.h>

#include "sim/replay.h"

static const size_t USBPCAP_HEADER = 27;
static const size_t USBMON_HEADER = 48;
static const size_t USBMON_MMAPPED_HEADER = 64;
// USBD_STATUS_DEVICE_GONE; usbmon's -ENODEV and -ESHUTDOWN.
static const uint32_t USBD_DEVICE_GONE = 0xC0007000u;
static const int32_t LINUX_ENODEV = -19, LINUX_ESHUTDOWN = -108;
static const uint8_t TRANSFER_CONTROL = 2, TRANSFER_BULK = 3;

static uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

static uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(le16(p)) | static_cast<uint32_t>(le16(p + 2)) << 16;
}

// usbmon's header is in the byte order of the machine that captured, which libpcap turns
// into ours.
template <typename T>
static T native(const uint8_t* p) {
    T v;
    memcpy(&v, p, sizeof(v));
    return v;
}

static void take_data(const uint8_t* p, size_t caplen, size_t header, uint32_t announced,
                      capture_packet* out) {
    size_t n = std::min<size_t>(announced, caplen - header);
    out->data.assign(p + header, p + header + n);
}

bool capture_decode(int link, const uint8_t* p, size_t caplen, capture_packet* out) {
    if (link == CAPTURE_USBPCAP) {
        if (caplen < USBPCAP_HEADER)
            return false;
        uint16_t header = le16(p);
        if (header < USBPCAP_HEADER || header > caplen)
            return false;
        uint32_t status = le32(p + 10);
        out->id = static_cast<uint64_t>(le32(p + 2)) | static_cast<uint64_t>(le32(p + 6)) << 32;
        out->completion = (p[16] & 1) != 0; // on its way back from the device
        out->ok = status == 0;
        out->gone = status == USBD_DEVICE_GONE;
        out->bus = le16(p + 17);
        out->address = le16(p + 19);
        out->endpoint = p[21];
        out->transfer = p[22];
        out->counted = false;
        out->length = le32(p + 23);
        take_data(p, caplen, header, out->length, out);
        return true;
    }
    size_t header = link == CAPTURE_USB_LINUX           ? USBMON_HEADER
                    : link == CAPTURE_USB_LINUX_MMAPPED ? USBMON_MMAPPED_HEADER
                                                        : 0;
    if (header == 0 || caplen < header)
        return false;
    char event = static_cast<char>(p[8]);
    if (event != 'S' && event != 'C' && event != 'E')
        return false;
    int32_t status = native<int32_t>(p + 28);
    out->id = native<uint64_t>(p);
    out->completion = event != 'S';
    out->ok = event == 'C' && status == 0;
    out->gone = out->completion && (status == LINUX_ENODEV || status == LINUX_ESHUTDOWN);
    out->transfer = p[9];
    out->endpoint = p[10];
    out->address = p[11];
    out->bus = native<uint16_t>(p + 12);
    out->counted = out->completion;
    out->length = native<uint32_t>(p + 32);
    take_data(p, caplen, header, native<uint32_t>(p + 36), out);
    return true;
}

// ---- finding the printer ------------------------------------------------------------------

static const uint32_t PIPE_1 = 1u << 1 | 1u << 17, PIPE_3 = 1u << 3 | 1u << 19;

// One enumeration of one device: a printer that re-enumerates is several, one after another.
struct device {
    uint16_t bus;
    uint16_t address;
    size_t first, last; // its first and last packets, as indexes
    uint32_t id;        // VID << 16 | PID, 0 without its device descriptor
    bool described;     // its configuration descriptor was seen
    uint32_t endpoints; // bulk endpoints, from that descriptor or else from its traffic
    long bulk;          // its bulk packets
    bool gone;          // a transfer of it failed for its absence
};

static bool printer_shaped(const device& d) {
    return (d.endpoints & PIPE_1) == PIPE_1 || (d.endpoints & PIPE_3) == PIPE_3;
}

// The bulk endpoints a configuration descriptor lists.
static uint32_t bulk_endpoints(const std::vector<uint8_t>& c) {
    uint32_t mask = 0;
    for (size_t i = 0; i + 2 <= c.size() && c[i] >= 2; i += c[i])
        if (c[i + 1] == 5 && c[i] >= 7 && i + 7 <= c.size() && (c[i + 3] & 3) == 2)
            mask |= replay_endpoint_bit(c[i + 2]);
    return mask;
}

static std::string name_of(const device& d) {
    char s[32];
    snprintf(s, sizeof(s), "%u.%u", d.bus, d.address);
    return s;
}

static std::string described_as(const device& d) {
    char s[48];
    if (d.id != 0)
        snprintf(s, sizeof(s), "%s %04x:%04x", name_of(d).c_str(), d.id >> 16, d.id & 0xFFFF);
    else
        snprintf(s, sizeof(s), "%s", name_of(d).c_str());
    return s;
}

// Every enumeration in the capture, and for each packet the index of its own (-1: none).
static std::vector<device> find_devices(const std::vector<capture_packet>& packets,
                                        std::vector<long>* owner) {
    std::vector<device> devices;
    std::map<uint32_t, size_t> current; // BUS << 16 | ADDR
    owner->assign(packets.size(), -1);
    for (size_t i = 0; i < packets.size(); i++) {
        const capture_packet& p = packets[i];
        if (p.address == 0) // enumeration before an address was set
            continue;
        const std::vector<uint8_t>& d = p.data;
        bool device_descriptor = p.transfer == TRANSFER_CONTROL && p.completion && d.size() >= 12 &&
                                 d[0] == 18 && d[1] == 1;
        uint32_t key = static_cast<uint32_t>(p.bus) << 16 | p.address;
        auto it = current.find(key);
        bool fresh = it == current.end() || (devices[it->second].gone && !p.completion) ||
                     (device_descriptor && devices[it->second].bulk > 0);
        if (fresh) {
            devices.push_back({p.bus, p.address, i, i, 0, false, 0, 0, false});
            current[key] = devices.size() - 1;
        }
        size_t k = current[key];
        device& dev = devices[k];
        (*owner)[i] = static_cast<long>(k);
        dev.last = i;
        dev.gone = dev.gone || (p.completion && p.gone);
        if (device_descriptor)
            dev.id = static_cast<uint32_t>(le16(&d[8])) << 16 | le16(&d[10]);
        if (p.transfer == TRANSFER_CONTROL && p.completion && d.size() >= 9 && d[1] == 2) {
            dev.endpoints = (dev.described ? dev.endpoints : 0) | bulk_endpoints(d);
            dev.described = true;
        }
        if (p.transfer == TRANSFER_BULK) {
            dev.bulk++;
            if (!dev.described)
                dev.endpoints |= replay_endpoint_bit(p.endpoint);
        }
    }
    return devices;
}

// Printer-shaped enumerations chained into printers: one follows another on the same bus once
// that one is over, of the same vendor where both are known.
static std::vector<std::vector<size_t>> chain_printers(const std::vector<device>& devices) {
    std::vector<std::vector<size_t>> chains;
    for (size_t k = 0; k < devices.size(); k++) {
        const device& d = devices[k];
        if (!printer_shaped(d))
            continue;
        std::vector<size_t>* best = nullptr;
        for (std::vector<size_t>& c : chains) {
            const device& l = devices[c.back()];
            bool vendor = l.id == 0 || d.id == 0 || l.id >> 16 == d.id >> 16;
            if (l.bus == d.bus && l.last < d.first && vendor &&
                (best == nullptr || devices[best->back()].last < l.last))
                best = &c;
        }
        if (best != nullptr)
            best->push_back(k);
        else
            chains.push_back({k});
    }
    // One that never moved a bulk transfer is no printer being updated.
    chains.erase(std::remove_if(chains.begin(), chains.end(),
                                [&](const std::vector<size_t>& c) {
                                    return std::none_of(c.begin(), c.end(), [&](size_t k) {
                                        return devices[k].bulk > 0;
                                    });
                                }),
                 chains.end());
    return chains;
}

static std::string chain_name(const std::vector<device>& devices, const std::vector<size_t>& c) {
    std::string s;
    for (size_t k : c)
        s += (s.empty() ? "" : ", then ") + described_as(devices[k]);
    return s;
}

static replay_event presence(replay_kind kind, const capture_packet& p, uint32_t id, uint32_t eps) {
    return {kind, p.us, p.number, 0, false, false, 0, 0, {}, id, eps};
}

// The chosen printer's packets as its recording's events.
static bool make_events(const std::vector<capture_packet>& packets,
                        const std::vector<device>& devices, const std::vector<long>& owner,
                        const std::vector<size_t>& chain, replay_recording* out, std::string* why) {
    std::map<uint64_t, capture_packet> outs; // OUT transfers submitted, by their ID
    std::vector<long> place(devices.size(), -1);
    for (size_t n = 0; n < chain.size(); n++)
        place[chain[n]] = static_cast<long>(n);
    long at = -1; // the enumeration the last event was of
    long used = 0;
    for (size_t i = 0; i < packets.size(); i++) {
        const capture_packet& p = packets[i];
        if (owner[i] < 0 || place[static_cast<size_t>(owner[i])] < 0)
            continue;
        const device& d = devices[static_cast<size_t>(owner[i])];
        long n = place[static_cast<size_t>(owner[i])];
        if (n != at) {
            if (at >= 0) {
                const device& l = devices[chain[static_cast<size_t>(at)]];
                out->events.push_back(presence(REPLAY_LEFT, packets[l.last], 0, 0));
            }
            uint32_t eps = d.described ? d.endpoints : d.endpoints | REPLAY_PRINTER_ENDPOINTS;
            out->events.push_back(presence(REPLAY_ARRIVED, p, d.id, eps));
            out->addresses += (at >= 0 ? ", then " : "") + described_as(d);
            at = n;
            outs.clear();
        }
        if (p.transfer != TRANSFER_BULK)
            continue;
        used++;
        bool in = (p.endpoint & 0x80) != 0;
        if (!in && !p.completion) {
            outs[p.id] = p;
        } else if (!in) {
            auto s = outs.find(p.id);
            bool found = s != outs.end();
            capture_packet sent = found ? s->second : capture_packet{};
            if (found)
                outs.erase(s);
            bool known = found && sent.data.size() == sent.length;
            uint32_t length = found ? sent.length : p.length;
            uint32_t taken = !p.ok ? 0 : p.counted ? std::min(p.length, length) : length;
            if (!known)
                sent.data.clear();
            out->events.push_back({REPLAY_OUT, p.us, p.number, p.endpoint, p.ok, known, length,
                                   taken, sent.data, 0, 0});
        } else if (p.completion && !p.data.empty()) {
            if (p.data.size() < p.length) {
                char s[160];
                snprintf(s, sizeof(s),
                         "packet %ld: the printer sent %u bytes on 0x%02x and the capture holds "
                         "only %zu of them (its snapshot length was too short)",
                         p.number, p.length, p.endpoint, p.data.size());
                *why = s;
                return false;
            }
            out->events.push_back(
                {REPLAY_IN, p.us, p.number, p.endpoint, true, true, 0, 0, p.data, 0, 0});
        }
    }
    const device& l = devices[chain.back()];
    if (l.gone)
        out->events.push_back(presence(REPLAY_LEFT, packets[l.last], 0, 0));
    out->skipped -= used;
    return true;
}

bool capture_assemble(const std::vector<capture_packet>& packets, long total, const char* device,
                      replay_recording* out, std::string* why) {
    std::vector<long> owner;
    std::vector<::device> devices = find_devices(packets, &owner);
    std::vector<std::vector<size_t>> chains = chain_printers(devices);
    out->unit = "packet";
    out->units = total;
    out->events.clear();
    out->addresses.clear();
    if (chains.empty()) {
        std::string seen;
        for (const ::device& d : devices)
            if (seen.find(" " + described_as(d) + ",") == std::string::npos)
                seen += " " + described_as(d) + ",";
        *why = "no printer among " + std::to_string(total) +
               " packets: no USB device with bulk transfers on the printer's endpoints "
               "0x01/0x81 or 0x03/0x83 (devices seen:" +
               (seen.empty() ? std::string(" none)") : seen.substr(0, seen.size() - 1) + ")");
        return false;
    }
    const std::vector<size_t>* chosen =
        chains.size() == 1 && device == nullptr ? &chains[0] : nullptr;
    for (const std::vector<size_t>& c : chains)
        for (size_t k : c)
            if (device != nullptr && name_of(devices[k]) == device)
                chosen = &c;
    if (chosen == nullptr) {
        std::string list;
        for (const std::vector<size_t>& c : chains)
            list += "\n  " + chain_name(devices, c);
        *why = (device != nullptr ? std::string("no printer at ") + device + " among these"
                                  : "several printers; pick one with --replay-device BUS.ADDR") +
               ":" + list;
        return false;
    }
    long other = 0;
    for (size_t i = 0; i < packets.size(); i++)
        other += owner[i] < 0 || std::find(chosen->begin(), chosen->end(),
                                           static_cast<size_t>(owner[i])) == chosen->end();
    out->other_devices = other + total - static_cast<long>(packets.size());
    out->skipped = total;
    return make_events(packets, devices, owner, *chosen, out, why);
}

// ---- the file -----------------------------------------------------------------------------

bool capture_read(const char* path, const char* device, replay_recording* out, std::string* why) {
    char err[PCAP_ERRBUF_SIZE] = "";
    pcap_t* pc = pcap_open_offline_with_tstamp_precision(path, PCAP_TSTAMP_PRECISION_MICRO, err);
    if (pc == nullptr) {
        *why = std::string(path) + ": neither an fpusbd trace nor a capture (" + err + ")";
        return false;
    }
    int link = pcap_datalink(pc);
    const char* name = pcap_datalink_val_to_name(link);
    out->path = path;
    out->form = std::string(pcap_major_version(pc) == 2 ? "pcap" : "pcapng") + ", " +
                (link == CAPTURE_USBPCAP ? "USBPcap" : "usbmon") +
                (link == CAPTURE_USB_LINUX_MMAPPED ? " (64-byte headers)"
                 : link == CAPTURE_USB_LINUX       ? " (48-byte headers)"
                                                   : "");
    if (link != CAPTURE_USBPCAP && link != CAPTURE_USB_LINUX && link != CAPTURE_USB_LINUX_MMAPPED) {
        char s[200];
        snprintf(s, sizeof(s),
                 ": link type %s (%d), not USB as USBPcap or usbmon capture it (%d, %d or %d)",
                 name != nullptr ? name : "unknown", link, CAPTURE_USBPCAP, CAPTURE_USB_LINUX,
                 CAPTURE_USB_LINUX_MMAPPED);
        *why = path + std::string(s);
        pcap_close(pc);
        return false;
    }
    std::vector<capture_packet> packets;
    long total = 0;
    long long start = 0;
    pcap_pkthdr* h = nullptr;
    const u_char* bytes = nullptr;
    int r;
    while ((r = pcap_next_ex(pc, &h, &bytes)) == 1) {
        long long us = static_cast<long long>(h->ts.tv_sec) * 1000000 + h->ts.tv_usec;
        if (total++ == 0)
            start = us;
        capture_packet p;
        if (!capture_decode(link, bytes, h->caplen, &p))
            continue;
        p.number = total;
        p.us = us - start;
        packets.push_back(std::move(p));
    }
    if (r != PCAP_ERROR_BREAK) {
        *why = std::string(path) + ": " + pcap_geterr(pc) + ", after " + std::to_string(total) +
               " whole packets";
        pcap_close(pc);
        return false;
    }
    pcap_close(pc);
    if (!capture_assemble(packets, total, device, out, why)) {
        *why = std::string(path) + ": " + *why;
        return false;
    }
    return true;
}
