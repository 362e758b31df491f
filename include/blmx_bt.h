/*
 * blmx_bt: Bluetooth audio backend for the belmux sound daemon.
 *
 * Public C interface of blmx_bt.so: the two backend descriptors, the stream
 * and codec records they reach, the exported AVDTP routines, the SBC codec
 * routines and the record transfer body. Usable from C and C++.
 *
 * All layouts below are fixed for the 64-bit platform; the static assertions
 * at the end keep them so.
 */
#ifndef BLMX_BT_H
#define BLMX_BT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(BLMX_BUILDING_LIBRARY)
#define BLMX_EXPORT __attribute__((visibility("default")))
#else
#define BLMX_EXPORT
#endif

struct audio_backend;
struct bt_stream;
struct sbc_work;

/* Slots of a backend descriptor. The daemon passes the descriptor itself. */
typedef int (*audio_backend_open_fn)(struct audio_backend *backend, const char *device, int rate,
                                     int unused, int *channels, int *format);
typedef void (*audio_backend_close_fn)(struct audio_backend *backend);
typedef int (*audio_backend_transfer_fn)(struct audio_backend *backend, void *buffer, int length);
typedef void (*audio_backend_delay_fn)(struct audio_backend *backend, int *delay);

/* A backend descriptor: six 8-byte words. */
struct audio_backend {
    audio_backend_open_fn open;
    audio_backend_close_fn close;
    audio_backend_transfer_fn transfer;
    audio_backend_delay_fn delay;
    void *state; /* the direction's struct bt_stream */
    uint64_t spare; /* always 0; never touched by the plug-in */
};

/* The state of one direction (record or playback). */
struct bt_stream {
    uint8_t remote_seid;     /* remote stream end-point identifier (6 bits) */
    uint8_t channel_mode;    /* 0 mono, 1 dual channel, 2 stereo, 3 joint stereo */
    uint8_t allocation;      /* 0 loudness, 1 SNR */
    uint8_t bitpool;         /* SBC bitpool */
    uint8_t subbands_flag;   /* 0: 4 subbands, 1: 8 subbands */
    uint8_t blocks_index;    /* 0..3: 4, 8, 12, 16 blocks */
    uint8_t frequency_index; /* 0 16 kHz, 1 32 kHz, 2 44.1 kHz, 3 48 kHz, 255 none */
    uint16_t mtu;            /* media channel MTU */
    struct sbc_work *codec;  /* codec work record, owned by the stream */
    uint32_t rtp_sequence;   /* sequence number of the next media packet */
    uint32_t rtp_timestamp;  /* timestamp of the next frame (samples per channel) */
    uint32_t packet_fill;    /* bytes in the packet under construction */
    int media_socket;        /* media channel; 0 or less: none */
    int signal_socket;       /* AVDTP signalling channel; 0 or less: none */
    uint8_t packet[65536];   /* media packet buffer */
    uint8_t acceptor_state;  /* AVDTP acceptor state */
};

/* The SBC codec work record of one stream (4992 bytes). */
struct sbc_work {
    int16_t pcm[256];
    uint8_t frame[1024];
    uint8_t *next_frame;
    int32_t packet_bytes_left;
    int32_t packet_frames_left;
    int32_t bits[2][8];
    float quantized[256];
    float history[2][160];
    float sb_sample[16][2][8];
    int32_t pcm_fill;
    int32_t pcm_read;
    uint32_t bit_pos;
    uint32_t bit_limit;
    uint32_t crc;
    uint16_t frame_samples;
    uint8_t scale_factor[2][8];
    uint8_t channels;
    uint8_t subbands;
    uint8_t blocks;
    uint8_t join;
};

/* One received AVDTP signalling message. */
struct avdtp_signal {
    uint8_t payload[512];
    uint16_t length;
    uint8_t label;
    uint8_t signal_id;
};

/* Backend descriptors that the daemon looks up. */
BLMX_EXPORT extern struct audio_backend blmx_backend_bt_rec;
BLMX_EXPORT extern struct audio_backend blmx_backend_bt_play;

/* AVDTP initiator procedures and response builders. Results: 0 or -6, -12, -16, -22. */
BLMX_EXPORT int avdtpDiscoverAndConfig(struct bt_stream *stream, int sink);
BLMX_EXPORT int avdtpSetConfiguration(int sock, int acp_seid, const uint8_t *caps, int count);
BLMX_EXPORT int avdtpOpen(int sock, int acp_seid);
BLMX_EXPORT int avdtpStart(int sock, int acp_seid);
BLMX_EXPORT int avdtpClose(int sock, int acp_seid);
BLMX_EXPORT int avdtpSuspend(int sock, int acp_seid);
BLMX_EXPORT int avdtpAbort(int sock, int acp_seid);
BLMX_EXPORT int avdtpSendAccept(int sock, int label, int signal_id);
BLMX_EXPORT int avdtpSendReject(int sock, int label, int signal_id);
BLMX_EXPORT int avdtpSendDiscResponseAudio(int sock, int label, int seid, int sink);

/* AVDTP acceptor: handles one incoming command; returns its signal id when accepted. */
BLMX_EXPORT int avdtpACPHandlePacket(struct bt_stream *stream);
BLMX_EXPORT void avdtpACPFree(struct bt_stream *stream);

/* SBC codec. */
BLMX_EXPORT uint32_t sbc_encode_frame(struct bt_stream *stream);
BLMX_EXPORT int32_t sbc_decode_frame(struct bt_stream *stream, uint32_t bit_count);

/* Record transfer body: bytes delivered, or -1 on a read error. */
BLMX_EXPORT int bt_receive(struct bt_stream *stream, void *buffer, int length, int wait);

/* Provided by the host daemon; the record transfer calls it before reading. */
void belmux_wait(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus)
#define BLMX_STATIC_ASSERT static_assert
#else
#define BLMX_STATIC_ASSERT _Static_assert
#endif

#if UINTPTR_MAX == 0xffffffffffffffffu
BLMX_STATIC_ASSERT(sizeof(struct audio_backend) == 48, "audio_backend is six 8-byte words");
BLMX_STATIC_ASSERT(offsetof(struct audio_backend, state) == 32, "audio_backend.state");
BLMX_STATIC_ASSERT(offsetof(struct audio_backend, spare) == 40, "audio_backend.spare");
BLMX_STATIC_ASSERT(offsetof(struct bt_stream, mtu) == 8, "bt_stream.mtu");
BLMX_STATIC_ASSERT(offsetof(struct bt_stream, codec) == 16, "bt_stream.codec");
BLMX_STATIC_ASSERT(offsetof(struct bt_stream, rtp_sequence) == 24, "bt_stream.rtp_sequence");
BLMX_STATIC_ASSERT(offsetof(struct bt_stream, media_socket) == 36, "bt_stream.media_socket");
BLMX_STATIC_ASSERT(offsetof(struct bt_stream, signal_socket) == 40, "bt_stream.signal_socket");
BLMX_STATIC_ASSERT(offsetof(struct bt_stream, packet) == 44, "bt_stream.packet");
BLMX_STATIC_ASSERT(offsetof(struct bt_stream, acceptor_state) == 65580, "bt_stream.acceptor_state");
BLMX_STATIC_ASSERT(sizeof(struct bt_stream) == 65584, "bt_stream size");
BLMX_STATIC_ASSERT(offsetof(struct sbc_work, frame) == 512, "sbc_work.frame");
BLMX_STATIC_ASSERT(offsetof(struct sbc_work, next_frame) == 1536, "sbc_work.next_frame");
BLMX_STATIC_ASSERT(offsetof(struct sbc_work, bits) == 1552, "sbc_work.bits");
BLMX_STATIC_ASSERT(offsetof(struct sbc_work, quantized) == 1616, "sbc_work.quantized");
BLMX_STATIC_ASSERT(offsetof(struct sbc_work, history) == 2640, "sbc_work.history");
BLMX_STATIC_ASSERT(offsetof(struct sbc_work, sb_sample) == 3920, "sbc_work.sb_sample");
BLMX_STATIC_ASSERT(offsetof(struct sbc_work, pcm_fill) == 4944, "sbc_work.pcm_fill");
BLMX_STATIC_ASSERT(offsetof(struct sbc_work, crc) == 4960, "sbc_work.crc");
BLMX_STATIC_ASSERT(offsetof(struct sbc_work, frame_samples) == 4964, "sbc_work.frame_samples");
BLMX_STATIC_ASSERT(offsetof(struct sbc_work, scale_factor) == 4966, "sbc_work.scale_factor");
BLMX_STATIC_ASSERT(offsetof(struct sbc_work, channels) == 4982, "sbc_work.channels");
BLMX_STATIC_ASSERT(offsetof(struct sbc_work, join) == 4985, "sbc_work.join");
BLMX_STATIC_ASSERT(sizeof(struct sbc_work) == 4992, "sbc_work size");
BLMX_STATIC_ASSERT(offsetof(struct avdtp_signal, length) == 512, "avdtp_signal.length");
BLMX_STATIC_ASSERT(offsetof(struct avdtp_signal, label) == 514, "avdtp_signal.label");
BLMX_STATIC_ASSERT(offsetof(struct avdtp_signal, signal_id) == 515, "avdtp_signal.signal_id");
BLMX_STATIC_ASSERT(sizeof(struct avdtp_signal) == 516, "avdtp_signal size");
#endif

#endif /* BLMX_BT_H */
