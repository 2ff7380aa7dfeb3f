/* The common start of the AVX-512 kernel files (hevc_*_avx512.cpp), the
 * only files built with the -mavx512* flags. Their code must not run before
 * the tier is chosen, so they hold no dynamic initialiser and instantiate no
 * inline function or template that other files share (a template on a
 * file-local type, such as a lambda, is their own). */
#ifndef HEVC_AVX512_H
#define HEVC_AVX512_H

#include <immintrin.h>

/* GCC 12 takes the deliberately undefined pass-through operand inside the
 * AVX-512 intrinsics for an uninitialised read. */
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include "hevc_dsp_internal.h"

#endif
