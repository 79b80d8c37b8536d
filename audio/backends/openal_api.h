// The OpenAL entry points the backend uses, as typed pointers resolved from
// the library at run time.
#pragma once
#include <cstdint>

struct ALCdevice;
struct ALCcontext;
typedef int32_t ALint;
typedef uint32_t ALuint;
typedef int32_t ALenum;
typedef int32_t ALsizei;
typedef char ALboolean;

enum : ALenum {
  AL_NO_ERROR_VALUE = 0,
  AL_BUFFER_PARAM = 0x1009,
  AL_BUFFERS_QUEUED_PARAM = 0x1015,
  AL_BUFFERS_PROCESSED_PARAM = 0x1016,
  AL_FORMAT_MONO16_VALUE = 0x1101,
  AL_FORMAT_STEREO16_VALUE = 0x1103,
};

struct OpenALEntries {
  ALCcontext *(*alcCreateContext)(ALCdevice *device, const ALint *attributes);
  ALboolean (*alcMakeContextCurrent)(ALCcontext *context);
  ALCcontext *(*alcGetCurrentContext)();
  ALCdevice *(*alcGetContextsDevice)(ALCcontext *context);
  void (*alcDestroyContext)(ALCcontext *context);
  ALCdevice *(*alcOpenDevice)(const char *name);
  ALboolean (*alcCloseDevice)(ALCdevice *device);
  ALenum (*alcGetError)(ALCdevice *device);
  void (*alGenSources)(ALsizei n, ALuint *sources);
  void (*alDeleteSources)(ALsizei n, const ALuint *sources);
  ALenum (*alGetEnumValue)(const char *name);
  void (*alBufferData)(ALuint buffer, ALenum format, const void *data, ALsizei bytes, ALsizei rate);
  void (*alGenBuffers)(ALsizei n, ALuint *buffers);
  void (*alDeleteBuffers)(ALsizei n, const ALuint *buffers);
  void (*alSourcei)(ALuint source, ALenum param, ALint value);
  ALenum (*alGetError)();
  void (*alSourcePlay)(ALuint source);
  void (*alSourceStop)(ALuint source);
  void (*alSourcePause)(ALuint source);
  void (*alSourceQueueBuffers)(ALuint source, ALsizei n, const ALuint *buffers);
  void (*alSourceUnqueueBuffers)(ALuint source, ALsizei n, ALuint *buffers);
  void (*alGetSourcei)(ALuint source, ALenum param, ALint *value);
  void *(*alGetProcAddress)(const char *name);
};

// The per-thread context calls of the thread-local-context extension.
struct OpenALThreadContextEntries {
  ALCcontext *(*alcGetThreadContext)();
  ALboolean (*alcSetThreadContext)(ALCcontext *context);
};
