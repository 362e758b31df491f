// The codec paths and the exported codec routines: the plain reference, and
// the vector paths taken when the processor has their instruction set.
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <cstdint>

#include "sbc/kernels.h"
#include "sbc/sbc.h"
#include "sbc/tables.h"

namespace blmx::sbc {

namespace {

constexpr kernel_tables make_tables() {
    kernel_tables t{};
    for (int i = 0; i < 80; ++i) {
        t.window8[i] = sbc_window_8[i];
        t.synthesis_window8[i] = -8.0f * sbc_window_8[i];
    }
    for (int i = 0; i < 40; ++i) {
        t.window4[i] = sbc_window_4[i];
        t.synthesis_window4[i] = -4.0f * sbc_window_4[i];
    }
    for (int i = 0; i < 8; ++i)
        for (int k = 0; k < 16; ++k) {
            t.analysis_cos_t8[k][i] = sbc_analysis_cos_8[i][k];
            t.analysis_cos_t8_twice[k][i] = t.analysis_cos_t8_twice[k][8 + i] = sbc_analysis_cos_8[i][k];
            t.synthesis_cos8[i][k] = sbc_synthesis_cos_8[i][k];
        }
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 8; ++k) {
            t.analysis_cos_t4[k][i] = sbc_analysis_cos_4[i][k];
            t.synthesis_cos4[i][k] = sbc_synthesis_cos_4[i][k];
        }
    const auto crc = make_crc_tables();
    for (int k = 0; k < 9; ++k)
        for (int v = 0; v < 256; ++v) t.crc_after_zeros[k][v] = crc[k][v];
    unsigned fold = 1;  // x^0
    for (int e = 0; e < 128; ++e) {
        t.crc_word_fold[e] = static_cast<uint8_t>(fold);
        for (int i = 0; i < 64; ++i) fold = crc_times_x(fold);
    }
    return t;
}

constexpr kernel_tables tables = make_tables();

// The instruction sets the vector paths need, read from the processor once
// when the library is loaded: cpuid for the processor's features, and XCR0
// for whether the operating system saves the wide registers across context
// switches. Done here rather than through the compiler runtime's feature
// table, so the library needs no compiler runtime on any system.
struct cpu_features {
    bool avx2 = false, avx512 = false;
};

cpu_features detect_features() {
    cpu_features f;
#if defined(__x86_64__) || defined(__i386__)
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
    const bool pclmul = c & (1u << 1), osxsave = c & (1u << 27), avx = c & (1u << 28);
    if (!osxsave || !avx || !pclmul) return f;
    unsigned lo, hi;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    const uint64_t xcr0 = static_cast<uint64_t>(hi) << 32 | lo;
    const bool ymm_saved = (xcr0 & 0x06) == 0x06;  // SSE and AVX state
    const bool zmm_saved = (xcr0 & 0xE6) == 0xE6;  // and the opmask and upper ZMM state
    if (!ymm_saved || !__get_cpuid_count(7, 0, &a, &b, &c, &d)) return f;
    f.avx2 = b & (1u << 5);
    const bool avx512f = b & (1u << 16), avx512dq = b & (1u << 17), avx512bw = b & (1u << 30),
               avx512vl = b & (1u << 31);
    f.avx512 = zmm_saved && avx512f && avx512dq && avx512bw && avx512vl;
#endif
    return f;
}

// Initialized at load, before any call can reach a codec routine.
const cpu_features features = detect_features();

bool has_avx2() { return features.avx2; }
bool has_avx512() { return features.avx512; }

}  // namespace

const kernel_tables &tables_for_kernels() { return tables; }

bool path_available(codec_path path) {
    switch (path) {
    case codec_path::avx512: return has_avx512();
    case codec_path::avx2: return has_avx2();
    default: return true;
    }
}

codec_path best_path() {
    return has_avx512() ? codec_path::avx512 : has_avx2() ? codec_path::avx2 : codec_path::sse2;
}

uint32_t encode_frame_on(codec_path path, bt_stream &stream) {
    switch (path) {
    case codec_path::avx512: return avx512::encode_frame(stream, tables);
    case codec_path::avx2: return avx2::encode_frame(stream, tables);
    case codec_path::sse2: return sse2::encode_frame(stream, tables);
    case codec_path::plain: break;
    }
    return encode_frame_reference(stream);
}

int32_t decode_frame_on(codec_path path, bt_stream &stream, uint32_t bit_count) {
    switch (path) {
    case codec_path::avx512: return avx512::decode_frame(stream, bit_count, tables);
    case codec_path::avx2: return avx2::decode_frame(stream, bit_count, tables);
    case codec_path::sse2: return sse2::decode_frame(stream, bit_count, tables);
    case codec_path::plain: break;
    }
    return decode_frame_reference(stream, bit_count);
}

}  // namespace blmx::sbc

extern "C" BLMX_EXPORT uint32_t sbc_encode_frame(bt_stream *stream) {
    return blmx::sbc::encode_frame_on(blmx::sbc::best_path(), *stream);
}

extern "C" BLMX_EXPORT int32_t sbc_decode_frame(bt_stream *stream, uint32_t bit_count) {
    return blmx::sbc::decode_frame_on(blmx::sbc::best_path(), *stream, bit_count);
}
