/*
 * Frame stream parser: turns the camera's raw capture byte stream into
 * verified frames.
 *
 * The stream is a sequence of chunks, each a 36-byte header followed by the
 * payload length the header states. A frame may span several chunks and a
 * chunk may carry several frames; bulk transfers cut the stream anywhere. The
 * parser finds and verifies headers (also across pieces), checks the payload
 * checksum and the chunk and frame numbering, reassembles frames and keeps
 * complete ones in a bounded FIFO, oldest first. Damage costs the frame
 * concerned; the parser then resynchronises on the next frame start.
 *
 * Threads: one producer (nx_stream_feed_input, the camera's event thread) and
 * any number of consumers (nx_stream_fetch_frames, nx_stream_get_state).
 * nx_stream_reset, nx_stream_set_cfg and nx_stream_destroy are called only
 * while no capture feeds the stream.
 */
#ifndef NX_STREAM_H
#define NX_STREAM_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "nivex.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct nx_stream_cfg {
    uint32_t max_frames; /* most complete frames the ready list holds */
} nx_stream_cfg;

/* Counters since creation or the last reset. */
typedef struct nx_stream_state {
    uint32_t frames_assembled;  /* frames whose last byte was received */
    uint32_t frames_queued;     /* frames moved to the ready list */
    uint32_t frames_discarded;  /* incomplete or corrupt frames thrown away */
    uint32_t frames_overflowed; /* ready frames dropped because the list was full */
    uint32_t frames_ready;      /* frames now in the ready list */
    uint32_t reserved0;         /* always 0 */
    uint32_t bytes_skipped;     /* bytes skipped by header search or thrown away with frames */
    uint32_t reserved1;         /* always 0 */
    uint32_t reset_sec;         /* wall clock of the creation or last reset */
    uint32_t reset_usec;
} nx_stream_state;

/* A frame's description: header bytes 8..27 of the chunk it started in, with
 * fridx counting on for each further frame of the same chunk. */
typedef struct nx_stream_frame_info {
    uint32_t frlen;      /* frame length in bytes */
    uint16_t fridx;      /* frame index */
    uint16_t frfmt;      /* frame format code */
    uint16_t width;      /* pixels, 0: driver default */
    uint16_t height;     /* pixels, 0: driver default */
    int16_t temp_sensor; /* 0.1 degC */
    int16_t temp_ib;     /* 0.1 degC */
    uint32_t reserved;
} nx_stream_frame_info;

NIVEX_STATIC_ASSERT(sizeof(nx_stream_state) == 40, "ten 32-bit counters");
NIVEX_STATIC_ASSERT(sizeof(nx_stream_frame_info) == 20, "header bytes 8..27");
NIVEX_STATIC_ASSERT(offsetof(nx_stream_frame_info, fridx) == 4, "frame info layout");
NIVEX_STATIC_ASSERT(offsetof(nx_stream_frame_info, temp_sensor) == 12, "frame info layout");
NIVEX_STATIC_ASSERT(offsetof(nx_stream_frame_info, reserved) == 16, "frame info layout");

typedef struct nx_stream nx_stream;

/* NULL when cfg is NULL or memory is short. */
NIVEX_API nx_stream *nx_stream_create(const nx_stream_cfg *cfg);
/* Frees the stream and every frame it holds; NULL is ignored. */
NIVEX_API void nx_stream_destroy(nx_stream *stream);
/* False on NULL arguments. */
NIVEX_API bool nx_stream_set_cfg(nx_stream *stream, const nx_stream_cfg *cfg);
NIVEX_API bool nx_stream_get_cfg(nx_stream *stream, nx_stream_cfg *cfg);
/* Drops every frame and zeroes the counters; the configuration stays. */
NIVEX_API void nx_stream_reset(nx_stream *stream);
/* Parses len bytes of the stream. True when frames are ready afterwards. */
NIVEX_API bool nx_stream_feed_input(nx_stream *stream, const uint8_t *data, size_t len);
/* Takes up to count frames, oldest first, copying their data back to back
 * into dst (each truncated to the room left; nothing when dst is NULL) and
 * the first frame's description into info (when not NULL). Without peek the
 * frames are removed, also those that did not fit; with peek they stay, and
 * with dst NULL only the number available is returned. Returns the number of
 * frames taken (or available). */
NIVEX_API uint32_t nx_stream_fetch_frames(nx_stream *stream, uint8_t *dst, size_t dst_len,
                                          uint32_t count, nx_stream_frame_info *info, bool peek);
/* Copies the counters. False on NULL arguments. */
NIVEX_API bool nx_stream_get_state(nx_stream *stream, nx_stream_state *state);
/* Finer counters since creation or the last reset, for the stream's health. */
typedef struct nx_stream_health {
    uint32_t frames_bad_sum;    /* of frames_discarded: dropped because a chunk's
                                   payload checksum was wrong */
    uint32_t frames_ready_peak; /* most frames the ready list held at once */
} nx_stream_health;
/* Copies the finer counters. False on NULL arguments. */
NIVEX_API bool nx_stream_get_health(nx_stream *stream, nx_stream_health *health);

#ifdef __cplusplus
}
#endif

#endif /* NX_STREAM_H */
