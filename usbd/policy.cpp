// What fpusbd takes for a printer and what it names it: decisions on what is known of a
// device, with no bus in them.
#include <algorithm>

#include "usbd/usbd.h"

bool usbd_wanted(const usbd_config& c, uint16_t vid, uint16_t pid) {
    for (const usbd_id& id : c.ids)
        if (id.vid == vid && (id.any_pid || id.pid == pid))
            return true;
    return false;
}

bool usbd_vendor_named(const usbd_config& c, uint16_t vid) {
    return std::any_of(c.ids.begin(), c.ids.end(),
                       [vid](const usbd_id& id) { return id.vid == vid; });
}

unsigned usbd_pipes_of(const usbd_config& c, const usbd_shape& s) {
    unsigned pipes = 0;
    for (int n : {USBD_FIRMWARE_PIPE, USBD_LOADER_PIPE}) {
        unsigned out = c.pipes[n].out & 0x0F, in = c.pipes[n].in & 0x0F;
        // Endpoint 0 is the control pipe, never bulk.
        if (out != 0 && in != 0 && ((static_cast<unsigned>(s.out) >> out) & 1u) != 0 &&
            ((static_cast<unsigned>(s.in) >> in) & 1u) != 0)
            pipes |= 1u << n;
    }
    return pipes;
}

usbd_verdict usbd_judge(const usbd_config& c, const std::vector<usbd_place_facts>& places,
                        const usbd_arrival& a, long long now_ms) {
    usbd_verdict v = {USBD_SKIPPED, SIZE_MAX, false, ""};
    for (size_t k = 0; k < places.size(); k++)
        if (places[k].left_ms >= 0 &&
            (places[k].port == a.port || (!a.peer.empty() && places[k].port == a.peer)))
            v.place = k;
    unsigned pipes = usbd_pipes_of(c, a.shape);
    if (v.place != SIZE_MAX) {
        const usbd_place_facts& p = places[v.place];
        if (p.vid == a.id.vid && pipes != 0 && now_ms - p.left_ms <= USBD_FOLLOW_GRACE_MS) {
            v.take = USBD_FOLLOWED;
            return v;
        }
    }
    bool vendor = usbd_vendor_named(c, a.id.vid);
    bool named = usbd_wanted(c, a.id.vid, a.id.pid);
    if (vendor && pipes == 0)
        v.take = USBD_NOT_PRINTER;
    else if (named || (vendor && ((pipes >> USBD_LOADER_PIPE) & 1u) != 0))
        v.take = USBD_NEW;
    if (v.take == USBD_NEW) {
        v.rescued = !named;
        v.name = usbd_instance_name(c, a.port);
    }
    return v;
}

std::string usbd_peer_port(const std::string& link) {
    std::string name = link.substr(link.rfind('/') + 1);
    size_t at = name.rfind("-port");
    if (at == std::string::npos || at == 0 || at + 5 == name.size() ||
        name.find_first_not_of("0123456789", at + 5) != std::string::npos)
        return "";
    std::string hub = name.substr(0, at), port = name.substr(at + 5);
    if (hub.compare(0, 3, "usb") == 0)
        return hub.size() > 3 && hub.find_first_not_of("0123456789", 3) == std::string::npos
                   ? hub.substr(3) + "-" + port
                   : "";
    return hub.find('-') != std::string::npos &&
                   hub.find_first_not_of("0123456789-.") == std::string::npos
               ? hub + "." + port
               : "";
}

std::string usbd_port_path(uint8_t bus, const uint8_t* ports, int count) {
    if (count <= 0)
        return "usb" + std::to_string(bus);
    std::string s = std::to_string(bus) + "-";
    for (int i = 0; i < count; i++)
        s += (i > 0 ? "." : "") + std::to_string(ports[i]);
    return s;
}

std::string usbd_instance_name(const usbd_config& c, const std::string& port) {
    for (const usbd_alias& a : c.aliases)
        if (a.port == port)
            return a.name;
    return port;
}
