// An ALSA PCM for tests: a device paced by the monotonic clock (capture gives silence,
// playback discards) that can be told to go wrong once a number of frames has passed:
//   pcm.name { type tessival_test mode MODE after FRAMES }
// MODE: "" plays on; "enodev" / "ebadfd": transfers fail with that error (an unplugged
// card, a stream in a bad state); "stall": the clock stops, nothing moves any more;
// "xrun": one xrun, then it plays on. ALSA loads it through pcm_type.tessival_test.lib.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

namespace {

struct TestPcm {
  snd_pcm_ioplug_t io{};
  std::string mode;
  uint64_t after = 0;       // frames before it goes wrong
  uint64_t done = 0;        // frames moved over every prepare
  uint64_t position = 0;    // frames the device has moved since the last prepare
  uint64_t transferred = 0; // frames written or read since the last prepare
  double started = -1;      // when the clock started, -1 when stopped
  bool xrunDone = false;
};

double Now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

TestPcm* Of(snd_pcm_ioplug_t* io) { return static_cast<TestPcm*>(io->private_data); }

int Start(snd_pcm_ioplug_t* io) {
  Of(io)->started = Now();
  return 0;
}

int Stop(snd_pcm_ioplug_t* io) {
  Of(io)->started = -1;
  return 0;
}

int Prepare(snd_pcm_ioplug_t* io) {
  TestPcm* p = Of(io);
  p->position = p->transferred = 0;
  p->started = -1;
  return 0;
}

// The device's position: the clock's frames, no further than the data allows
// (playback cannot play what was not written, capture holds at most a buffer).
snd_pcm_sframes_t Pointer(snd_pcm_ioplug_t* io) {
  TestPcm* p = Of(io);
  if (p->started >= 0) {
    uint64_t clock = static_cast<uint64_t>((Now() - p->started) * io->rate);
    const uint64_t limit = io->stream == SND_PCM_STREAM_PLAYBACK ? p->transferred : p->transferred + io->buffer_size;
    clock = std::min(clock, limit);
    if (p->mode == "stall") clock = std::min(clock, p->position + (p->after > p->done ? p->after - p->done : 0));
    if (clock > p->position) {
      p->done += clock - p->position;
      p->position = clock;
    }
    if (p->mode == "xrun" && !p->xrunDone && p->done >= p->after) {
      p->xrunDone = true;
      return -EPIPE;
    }
  }
  return static_cast<snd_pcm_sframes_t>(p->position);
}

snd_pcm_sframes_t Transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                           snd_pcm_uframes_t size) {
  TestPcm* p = Of(io);
  if (p->done >= p->after) {
    if (p->mode == "enodev") return -ENODEV;
    if (p->mode == "ebadfd") return -EBADFD;
  }
  if (io->stream == SND_PCM_STREAM_CAPTURE) {
    const size_t frame = snd_pcm_format_physical_width(io->format) / 8 * io->channels;
    std::memset(static_cast<char*>(areas[0].addr) + areas[0].first / 8 + offset * frame, 0, size * frame);
  }
  p->transferred += size;
  return static_cast<snd_pcm_sframes_t>(size);
}

int PollRevents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int, unsigned short* revents) {
  uint64_t ticks = 0;
  if (read(pfd[0].fd, &ticks, sizeof ticks) < 0) {}  // only clears the timer
  *revents = io->stream == SND_PCM_STREAM_PLAYBACK ? POLLOUT : POLLIN;
  return 0;
}

int Close(snd_pcm_ioplug_t* io) {
  TestPcm* p = Of(io);
  close(io->poll_fd);
  delete p;
  return 0;
}

const snd_pcm_ioplug_callback_t Callbacks = [] {
  snd_pcm_ioplug_callback_t c{};
  c.start = Start;
  c.stop = Stop;
  c.pointer = Pointer;
  c.transfer = Transfer;
  c.close = Close;
  c.prepare = Prepare;
  c.poll_revents = PollRevents;
  return c;
}();

}  // namespace

extern "C" SND_PCM_PLUGIN_DEFINE_FUNC(tessival_test) {
  (void)root;
  auto* p = new TestPcm;
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, conf) {
    snd_config_t* n = snd_config_iterator_entry(i);
    const char* id = nullptr;
    if (snd_config_get_id(n, &id) < 0) continue;
    const char* text = nullptr;
    long value = 0;
    if (std::strcmp(id, "mode") == 0 && snd_config_get_string(n, &text) == 0) p->mode = text;
    if (std::strcmp(id, "after") == 0 && snd_config_get_integer(n, &value) == 0) p->after = static_cast<uint64_t>(value);
  }
  const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  const itimerspec every5ms{{0, 5000000}, {0, 5000000}};
  timerfd_settime(timer, 0, &every5ms, nullptr);
  p->io.version = SND_PCM_IOPLUG_VERSION;
  p->io.name = "Tessival test PCM";
  p->io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA;
  p->io.poll_fd = timer;
  p->io.poll_events = POLLIN;
  p->io.callback = &Callbacks;
  p->io.private_data = p;
  int err = snd_pcm_ioplug_create(&p->io, name, stream, mode);
  if (err < 0) {
    close(timer);
    delete p;
    return err;
  }
  const unsigned int access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
  const unsigned int formats[] = {SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S32_LE};
  if ((err = snd_pcm_ioplug_set_param_list(&p->io, SND_PCM_IOPLUG_HW_ACCESS, 1, access)) < 0 ||
      (err = snd_pcm_ioplug_set_param_list(&p->io, SND_PCM_IOPLUG_HW_FORMAT, 2, formats)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_CHANNELS, 2, 2)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_RATE, 8000, 192000)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_PERIODS, 2, 64)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 64, 1 << 20)) < 0) {
    snd_pcm_ioplug_delete(&p->io);
    return err;
  }
  *pcmp = p->io.pcm;
  return 0;
}

extern "C" {
SND_PCM_PLUGIN_SYMBOL(tessival_test)
}
