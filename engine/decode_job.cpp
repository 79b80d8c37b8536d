// The unit of work of frame decoding: one run of slices of the current
// frame, and for the run that ends at the last slice the frame's audio.
#include <cstring>

#include "audio/codec/audio_decoder.h"
#include "engine/container.h"
#include "engine/movie.h"
#include "engine/playback.h"
#include "engine/utils.h"
#include "video/gen1/gen1_frame.h"
#include "video/gen2/slices.h"

namespace {

// The played track that plays file track k, or null.
SoundTrack *FindPlayedTrack(MovieRecord *m, uint32_t k) {
  uint32_t count = m->tracks ? m->open_track_count.load(std::memory_order_acquire) : 0;
  if (!m->played_tracks) return nullptr;
  for (uint32_t n = 0; n < count; ++n)
    if (m->played_tracks[n] == k && m->tracks[n].start && m->tracks[n].decoder)
      return &m->tracks[n];
  return nullptr;
}

// Decodes one packet into the track's ring.  `body` and `packet_end` lie
// inside the frame; `wanted` is the packet's decoded byte count (a
// multiple of 16).  The write position moves by what the decoder wrote,
// never by more than the free space it was offered, so it never passes
// the mixer's read position.
void DecodeTrackPacket(SoundTrack *t, const uint8_t *body, const uint8_t *packet_end,
                       uint32_t wanted) {
  PacketCursor cursor;
  cursor.next = reinterpret_cast<const uint32_t *>(body);
  cursor.end = packet_end;
  uint32_t d = wanted;
  while (d > 0) {
    const uint8_t *at = reinterpret_cast<const uint8_t *>(cursor.next);
    if (at < body || at >= packet_end) break;
    uint8_t *write = t->write.load(std::memory_order_relaxed);
    uint8_t *read = t->read.load(std::memory_order_acquire);
    uint64_t w = static_cast<uint64_t>(write - t->start);
    uint64_t r = static_cast<uint64_t>(read - t->start);
    uint64_t used = w >= r ? w - r : t->size - (r - w);
    uint64_t f = t->size - used;
    uint64_t rounded = f & ~uint64_t(63);
    AudioOutputRing ring;
    ring.write = write;
    ring.start = t->start;
    ring.end = t->end;
    ring.free = rounded >= 16 ? static_cast<uint32_t>(rounded - 16) : 0;
    ring.skip = 0;
    ring.produced = 0;
    uint32_t offered = ring.free;
    DecodeAudioPacket(t->decoder, &ring, &cursor);
    // What the decoder wrote: how far it moved the write position.
    uint64_t moved = 0;
    if (ring.write >= t->start && ring.write <= t->end) {
      uint64_t nw = static_cast<uint64_t>(ring.write - t->start);
      moved = nw >= w ? nw - w : t->size - (w - nw);
    }
    uint32_t written = moved <= offered ? static_cast<uint32_t>(moved) : offered;
    uint32_t produced = ring.produced;
    uint32_t advance = produced > d ? (written < d ? written : d) : written;
    uint64_t nw = w + advance;
    if (nw >= t->size) nw -= t->size;
    t->write.store(t->start + nw, std::memory_order_release);
    if (produced > d) break;
    d -= produced;
    // A decoder that neither produced nor moved on has nothing more.
    if (produced == 0 && reinterpret_cast<const uint8_t *>(cursor.next) == at) break;
  }
}

}  // namespace

int DecodeFrame(HVOSH m, uint32_t job) {
  if (!m || m->closing.load(std::memory_order_acquire)) return 0;
  if (job & DECODE_OPEN_FRAME) {
    if (!BeginFrame(m, VoshGetMilliseconds())) return 0;
    if (m->closing.load(std::memory_order_acquire)) return 0;
  }
  FrameBufferSet *fb = m->frame_buffers;
  CompletePendingRead(m);
  if (m->read_failed.load(std::memory_order_acquire) || m->closing.load(std::memory_order_acquire))
    return 0;
  const uint8_t *data = m->frame_data;
  uint64_t size = m->frame_size;
  const uint8_t *end = data + size;
  uint32_t first = job & 0xF;
  uint32_t stop = first + ((job >> 4) & 0xF);
  uint32_t t0 = VoshGetMilliseconds();

  int decode_audio = stop >= m->slice_layout.slice_count;
  uint32_t track_count = m->sound_track_count > 0 ? static_cast<uint32_t>(m->sound_track_count) : 0;
  FramePacketWalk walk;
  BeginFramePacketWalk(&walk, data, size, track_count);
  AudioPacketView packet;
  while (data && NextFramePacket(&walk, &packet)) {
    if (!decode_audio || !packet.usable) continue;
    SoundTrack *t = FindPlayedTrack(m, packet.track);
    if (!t) continue;
    DecodeTrackPacket(t, data + packet.body_offset, data + packet.end_offset,
                      packet.decoded_bytes);
  }
  uint64_t video_offset = 0;
  int has_video = data && GetVideoDataOffset(&walk, &video_offset);

  uint32_t t1 = VoshGetMilliseconds();
  uint32_t count = (job >> 4) & 0xF;
  if (has_video && m->open_complete && (fb || m->parse_target) && count != 0 &&
      !m->repeat_keeps_picture) {
    const uint8_t *video = data + video_offset;
    if (IsSecondGenSignature(m->signature)) {
      DecodeSliceRun(fb, video, (m->video_flags & VIDEO_FLAG_ALPHA) ? 1 : 0,
                     (m->video_flags & VIDEO_FLAG_EXTRA_PLANE) ? 1 : 0, m->frame_is_key, end,
                     &m->slice_layout, job & 0xFF, m->seam_records,
                     static_cast<ParseTarget *>(m->parse_target));
    } else if (fb) {
      uint32_t flags = m->movie_flags.load(std::memory_order_acquire) &
                       ~(PLANE_JOB_ALPHA | PLANE_JOB_NO_CHROMA | PLANE_JOB_NO_LUMA);
      if (stop >= 2)
        flags |= (m->movie_flags.load(std::memory_order_acquire) & PLANE_JOB_ALPHA) |
                 PLANE_JOB_NO_LUMA;
      else
        flags |= PLANE_JOB_NO_CHROMA | PLANE_JOB_NO_LUMA;
      if (first == 0) flags &= ~PLANE_JOB_NO_LUMA;
      if ((flags & (PLANE_JOB_NO_CHROMA | PLANE_JOB_NO_LUMA)) !=
          (PLANE_JOB_NO_CHROMA | PLANE_JOB_NO_LUMA)) {
        DecodeFirstGenFrame(fb, video, m->frame_is_key, end, &m->first_gen_scratch, flags,
                            m->video_flags, m->signature);
      }
    }
  }
  uint32_t t2 = VoshGetMilliseconds();
  m->audio_ms.fetch_add(static_cast<int32_t>(t1 - t0), std::memory_order_relaxed);
  m->video_ms.fetch_add(static_cast<int32_t>(t2 - t1), std::memory_order_relaxed);
  if (job & DECODE_CLOSE_FRAME) {
    EndFrame(m, t2);
    return 0;
  }
  return 1;
}

void FeedSoundTracks(HVOSH m) {
  if (!m || !m->tracks) return;
  uint32_t count = m->open_track_count.load(std::memory_order_acquire);
  if (count == 0 || !m->tracks[count - 1].ops.Ready || m->frames_finished == 0) return;
  int32_t c = m->tracks[0].service_code;
  if (c > 0 && c != 2) return;
  if (!LockRecursiveMutexTimed(&m->sound_lock, 0)) return;
  for (uint32_t k = 0; k < count; ++k) {
    SoundTrack *t = &m->tracks[k];
    if (!t->start || t->size == 0 || !t->ops.Ready || !t->ops.GetRegion || !t->ops.Service)
      continue;
    while (t->ops.Ready(t)) {
      uint8_t *write = t->write.load(std::memory_order_acquire);
      uint8_t *read = t->read.load(std::memory_order_relaxed);
      uint64_t w = static_cast<uint64_t>(write - t->start);
      uint64_t r = static_cast<uint64_t>(read - t->start);
      uint32_t b = static_cast<uint32_t>(w >= r ? w - r : t->size - (r - w));
      int full_lead = m->current_frame <= t->last_full_lead_frame;
      if (b <= t->threshold && (b == 0 || full_lead)) break;
      uint8_t *dest = nullptr;
      uint32_t len = 0;
      if (!t->ops.GetRegion(t, &dest, &len) || !dest) break;
      uint32_t n = len < b ? len : b;
      if (full_lead) n &= t->feed_mask;
      if (n == 0) break;
      uint64_t first = t->size - r < n ? t->size - r : n;
      memcpy(dest, t->start + r, first);
      memcpy(dest + first, t->start, n - first);
      uint64_t nr = r + n;
      if (nr >= t->size) nr -= t->size;
      t->read.store(t->start + nr, std::memory_order_release);
      t->ops.Service(t, n);
    }
  }
  UnlockRecursiveMutex(&m->sound_lock);
}
