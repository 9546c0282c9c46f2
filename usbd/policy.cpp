// What fpusbd takes for a printer and what it names it: decisions on what is known of a
// device, with no bus in them.
#include "usbd/usbd.h"

bool usbd_wanted(const usbd_config& c, uint16_t vid, uint16_t pid) {
    for (const usbd_id& id : c.ids)
        if (id.vid == vid && (id.any_pid || id.pid == pid))
            return true;
    return false;
}

usbd_verdict usbd_judge(const usbd_config& c, const std::vector<usbd_place_facts>& places,
                        const std::string& port, usbd_id id, long long now_ms) {
    usbd_verdict v = {USBD_NOT_NAMED, SIZE_MAX, ""};
    for (size_t k = 0; k < places.size(); k++)
        if (places[k].port == port)
            v.place = k;
    if (v.place != SIZE_MAX) {
        const usbd_place_facts& p = places[v.place];
        if (p.left_ms >= 0 && p.vid == id.vid && now_ms - p.left_ms <= USBD_FOLLOW_GRACE_MS) {
            v.take = USBD_FOLLOWED;
            return v;
        }
    }
    if (usbd_wanted(c, id.vid, id.pid)) {
        v.take = USBD_NEW;
        v.name = usbd_instance_name(c, port);
    }
    return v;
}

bool usbd_shape_fits(const usbd_config& c, usbd_take take, const usbd_shape& s) {
    if (take != USBD_FOLLOWED)
        return true;
    for (const usbd_pipe& p : c.pipes) {
        unsigned out = p.out & 0x0F, in = p.in & 0x0F;
        // Endpoint 0 is the control pipe, never bulk.
        if (out != 0 && in != 0 && ((static_cast<unsigned>(s.out) >> out) & 1u) != 0 &&
            ((static_cast<unsigned>(s.in) >> in) & 1u) != 0)
            return true;
    }
    return false;
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
