// Stream parameters: the device name, the sample rate, the channel count and
// the sample format, turned into the remote address and the stream's initial
// SBC configuration.
#include <cstdio>
#include <cstring>

#include "backend/backend.h"
#include "platform/platform.h"

namespace blmx::backend {

namespace {

struct rate_entry {
    int rate;
    uint8_t frequency_index;
};

constexpr rate_entry rate_table[] = {{8000, 255},  {11025, 255}, {12000, 255}, {16000, 0},
                                     {22050, 255}, {24000, 255}, {32000, 1},   {44100, 2},
                                     {48000, 3},   {64000, 255}, {88200, 255}, {96000, 255}};

constexpr char device_prefix[] = "/dev/bluetooth/";
constexpr int format_s16_le = 0x10;

}  // namespace

int check_parameters(const char *device, int rate, int *channels, int *format, bt_stream &stream,
                     uint8_t remote[6]) {
    if (std::strncmp(device, device_prefix, 15) != 0) {
        std::printf("Invalid device name '%s'", device);
        return -1;
    }
    const char *name = device + 15;
    bdaddr_t address;
    if (!bt_aton(name, &address)) {
        const hostent *h = bt_gethostbyname(name);
        // An entry without an address, or with one that is not 6 bytes, is no entry.
        if (!h || h->h_length != 6 || !h->h_addr_list || !h->h_addr_list[0]) {
            std::puts("backend_bt: Could not get host by name");
            return -1;
        }
        std::memcpy(address.b, h->h_addr_list[0], 6);
    }
    std::memcpy(remote, address.b, 6);

    const rate_entry *entry = nullptr;
    for (const rate_entry &e : rate_table)
        if (e.rate == rate) entry = &e;
    if (!entry) {
        std::printf("backend_bt: Invalid samplerate %d", rate);
        return -1;
    }
    stream.frequency_index = entry->frequency_index;
    stream.subbands_flag = 1;
    stream.allocation = 0;
    if (*channels == 1) {
        stream.channel_mode = 0;
        stream.bitpool = 128;
    } else {
        stream.channel_mode = 2;
        stream.bitpool = 250;
    }
    if (!(*format & format_s16_le)) {
        std::puts("backend_bt: Unsupported sample format");
        return -1;
    }
    *format = format_s16_le;
    return 0;
}

}  // namespace blmx::backend
