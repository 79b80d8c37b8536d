// The two process-wide service threads: "Vosh IO", which reads frames and
// keeps the read-ahead rings of the listed movies filled, and "Vosh Snd",
// which runs the sound output's service.  Movies reach them through the
// movie list.
#pragma once
#include <cstdint>

#include "engine/platform/locks.h"

struct MovieRecord;
struct IoReader;

enum : uint32_t {
  FILL_LEVEL_NONE = 129,         // nothing to fill
  SOUND_WAIT_DEFAULT_MS = 13,
  SOUND_WAIT_BUSY_MS = 2,
  IO_THREAD_STACK = 0x8000,
  SOUND_THREAD_STACK = 0x8000,
};

// Movie list.
void RegisterMovie(MovieRecord *movie);
// Removes the movie from the list (and as the IO thread's current movie).
void UnlinkMovie(MovieRecord *movie);
int IsMovieListed(MovieRecord *movie);
// Takes the movie-list lock and the given movie lock without deadlock.
void LockListAndMovie(RecursiveMutex *movie_lock);

// Thread starts and stops, each counting its users.
int AcquireIoThread();
int AcquireSoundThread(int32_t service_code);
// Lowers the IO thread's user count; stops the thread at 0 unless kept.
void ReleaseIoThread(int keep);
// Lowers the sound thread's user count; at 0 stops it, or, when kept, lets
// it sleep until posted.
void ReleaseSoundThread(int keep);
void ResetSoundWaitIfNoMovies();
void StopIoThread();
void StopSoundThread();
int IsIoThreadRunning();
int IsSoundThreadRunning();
void PostIoThread();
void PostSoundThread();
uint32_t GetIoThreadUsers();
uint32_t GetSoundThreadUsers();
uint32_t GetSoundWaitMs();
const char *GetIoThreadName();
const char *GetSoundThreadName();

// The IO thread's current movie, set under the list lock and never to a
// closing movie.
void SetIoCurrentMovie(MovieRecord *movie);
MovieRecord *GetIoCurrentMovie();
// Clears the current movie when it is this one.
void ClearIoCurrentMovie(MovieRecord *movie);

int32_t IoThreadMain(intptr_t arg);
int32_t SoundThreadMain(intptr_t arg);

// The movie's pending frame read; the bytes read, or 0 when nothing was read.
uint64_t ServicePendingRead(MovieRecord *movie);
// One fill step of the movie's read-ahead ring, or 0.
int64_t RunBackgroundFill(MovieRecord *movie);
// 0..128: fill of the read-ahead ring in 128ths; FILL_LEVEL_NONE when there
// is nothing to fill.
int GetBufferFillLevel(MovieRecord *movie);
// The IO thread's hysteresis: 1 when it moves from the current movie (at
// current_level) to the emptiest other one (at best_level).
int ShouldSwitchFillMovie(int current_level, int best_level);

// The reader's hooks on the movie's IO-buffer lock.
void LockIoBuffer(IoReader *reader);
int TryLockIoBuffer(IoReader *reader);
void UnlockIoBuffer(IoReader *reader);
void TestIoBufferLock(IoReader *reader);
