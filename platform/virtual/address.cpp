// Device addresses and the virtual stack's hosts file.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "platform/virtual/vbt.h"
#include "platform/virtual/registry.h"

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool iequal(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    return *a == *b;
}

}  // namespace

extern "C" {

VBT_EXPORT int bt_aton(const char *text, bdaddr_t *address) {
    if (!text) return 0;
    uint8_t bytes[6];
    for (int i = 0; i < 6; ++i) {
        const char *p = text + 3 * i;
        const int hi = hex_digit(p[0]);
        const int lo = hi < 0 ? -1 : hex_digit(p[1]);
        if (hi < 0 || lo < 0) return 0;
        if (p[2] != (i == 5 ? '\0' : ':')) return 0;
        bytes[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    for (int i = 0; i < 6; ++i) address->b[i] = bytes[5 - i];
    return 1;
}

VBT_EXPORT const char *bt_ntoa(const bdaddr_t *a, char *buf) {
    std::snprintf(buf, 18, "%02x:%02x:%02x:%02x:%02x:%02x", a->b[5], a->b[4], a->b[3], a->b[2], a->b[1], a->b[0]);
    return buf;
}

VBT_EXPORT struct hostent *bt_gethostbyname(const char *name) {
    // Static storage, as the system's own host lookups return.
    static bdaddr_t address;
    static char *addr_list[2];
    static char host_name[256];
    static hostent entry;
    if (!name || !*name) return nullptr;
    const std::string dir = blmx::vbt::directory();
    if (dir.empty() || !blmx::vbt::directory_is_safe(dir, false)) return nullptr;
    FILE *f = std::fopen((dir + "/hosts").c_str(), "r");
    if (!f) return nullptr;
    char line[1024];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f)) {
        if (char *hash = std::strchr(line, '#')) *hash = '\0';
        char *save = nullptr;
        char *addr_text = strtok_r(line, " \t\r\n", &save);
        if (!addr_text) continue;
        bdaddr_t a;
        if (!bt_aton(addr_text, &a)) continue;
        for (char *tok = strtok_r(nullptr, " \t\r\n", &save); tok; tok = strtok_r(nullptr, " \t\r\n", &save)) {
            if (iequal(tok, name)) {
                address = a;
                std::snprintf(host_name, sizeof host_name, "%s", tok);
                found = true;
                break;
            }
        }
    }
    std::fclose(f);
    if (!found) return nullptr;
    addr_list[0] = reinterpret_cast<char *>(address.b);
    addr_list[1] = nullptr;
    entry.h_name = host_name;
    entry.h_aliases = nullptr;
    entry.h_addrtype = 36;
    entry.h_length = 6;
    entry.h_addr_list = addr_list;
    return &entry;
}

VBT_EXPORT const char *vbt_directory(void) {
    static std::string dir;
    dir = blmx::vbt::directory();
    return dir.c_str();
}

}  // extern "C"
