// The codec paths and the exported codec routines: the plain reference, and
// the vector paths taken when the processor has their instruction set.
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

bool has_avx2() {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("pclmul");
#else
    return false;
#endif
}

bool has_avx512() {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("pclmul");
#else
    return false;
#endif
}

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
