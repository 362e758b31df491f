/* Compiled as C against the public header: the layouts a host relies on. */
#include <stdio.h>

#include "blmx_bt.h"

#define CHECK(expr)                                       \
    do {                                                  \
        if (!(expr)) {                                    \
            printf("layout check failed: %s\n", #expr);   \
            failures++;                                   \
        }                                                 \
    } while (0)

int main(void) {
    int failures = 0;
    CHECK(sizeof(struct audio_backend) == 48);
    CHECK(offsetof(struct audio_backend, open) == 0);
    CHECK(offsetof(struct audio_backend, close) == 8);
    CHECK(offsetof(struct audio_backend, transfer) == 16);
    CHECK(offsetof(struct audio_backend, delay) == 24);
    CHECK(offsetof(struct audio_backend, state) == 32);
    CHECK(offsetof(struct audio_backend, spare) == 40);
    CHECK(sizeof(struct bt_stream) == 65584);
    CHECK(offsetof(struct bt_stream, bitpool) == 3);
    CHECK(offsetof(struct bt_stream, frequency_index) == 6);
    CHECK(offsetof(struct bt_stream, mtu) == 8);
    CHECK(offsetof(struct bt_stream, codec) == 16);
    CHECK(offsetof(struct bt_stream, packet_fill) == 32);
    CHECK(offsetof(struct bt_stream, signal_socket) == 40);
    CHECK(offsetof(struct bt_stream, packet) == 44);
    CHECK(offsetof(struct bt_stream, acceptor_state) == 65580);
    CHECK(sizeof(struct sbc_work) == 4992);
    CHECK(offsetof(struct sbc_work, next_frame) == 1536);
    CHECK(offsetof(struct sbc_work, history) == 2640);
    CHECK(offsetof(struct sbc_work, pcm_fill) == 4944);
    CHECK(offsetof(struct sbc_work, frame_samples) == 4964);
    CHECK(offsetof(struct sbc_work, join) == 4985);
    CHECK(sizeof(struct avdtp_signal) == 516);
    CHECK(offsetof(struct avdtp_signal, signal_id) == 515);
    if (failures == 0) printf("layout: all checks passed\n");
    return failures != 0;
}
