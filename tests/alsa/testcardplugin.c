// An ALSA PCM of our own for the driver tests, loaded by alsa-lib through the configuration the
// tests write ("pcm_type.tessarotestcard { lib ... }"). It behaves like a sound card where the
// plugins that come with alsa-lib cannot: it offers only the formats, rates and channel count
// its configuration lists, so hw parameter refinement really refuses the rest; its position
// advances with the monotonic clock at the negotiated rate, with a timerfd waking poll once per
// period and poll staying ready while a period is waiting, so a reader that was held up catches
// up as on a card; it reports an overrun when the application falls a buffer behind, or once on
// purpose at a configured frame; playback waits for data rather than underrun, so what the
// application played reaches the file whole however late a loaded machine runs it; and it
// behaves like an unplugged card while a configured file exists:
// opening fails with -ENODEV, and a running stream turns DISCONNECTED, which alsa-lib turns
// into -ENODEV for the reader, exactly as for a card that vanished from the bus; and it is busy
// while another configured file exists: opening fails with -EBUSY, as for a card that another
// program holds.
//
// Sample data is left silent: the tests put it in front of this device with the file plugin,
// whose infile replaces whatever the slave captured.
//
//   pcm.card {
//       type tessarotestcard
//       formats [ "S32_LE" "DSD_U32_BE" ]   # offered formats
//       rates [ 44100 48000 ]              # offered rates
//       channels 2                         # the one channel count, or the fewest
//       channels_max 6                     # the most, where it takes any count between
//       playback 1                         # 0: opening for playback fails (capture-only card)
//       gone_file "/path"                  # while it exists the card is unplugged
//       busy_file "/path"                  # while it exists the card cannot be opened
//       xrun_at 4096                       # capture: one overrun once this many frames ran
//   }
//
// Periods hold 1024 to 32768 bytes, two to eight of them a buffer.
//
// Threads: alsa-lib calls every callback under the PCM's own lock or from the one thread
// that uses the PCM; the instance is not shared between PCMs.
#define _GNU_SOURCE
#include <alsa/asoundlib.h> // with the C library headers this file needs
#include <alsa/pcm_external.h>
#include <sys/timerfd.h>

#define MAX_LIST 32

struct card
{
    snd_pcm_ioplug_t io;
    int timer;
    uint64_t startNs;
    int running;
    long xrunAt;
    int xrunDone;
    char* goneFile;
};

static uint64_t nowNs(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000000ull + (uint64_t)t.tv_nsec;
}

static int isGone(const struct card* c)
{
    return c->goneFile && access(c->goneFile, F_OK) == 0;
}

static uint64_t elapsedFrames(const struct card* c)
{
    return c->running ? (nowNs() - c->startNs) * (uint64_t)c->io.rate / 1000000000ull : 0;
}

// Runs the clock and wakes poll every period; a period of 0 stops both.
static int runClock(struct card* c, uint64_t periodNs)
{
    struct itimerspec timing;
    timing.it_interval.tv_sec = (time_t)(periodNs / 1000000000ull);
    timing.it_interval.tv_nsec = (long)(periodNs % 1000000000ull);
    timing.it_value = timing.it_interval;
    c->startNs = nowNs();
    c->running = periodNs > 0;
    return timerfd_settime(c->timer, 0, &timing, NULL) < 0 ? -errno : 0;
}

// The tick is rounded up, so a whole period has run when it fires.
static int cardStart(snd_pcm_ioplug_t* io)
{
    return runClock(io->private_data,
                    ((uint64_t)io->period_size * 1000000000ull + io->rate - 1) / io->rate);
}

static int cardStop(snd_pcm_ioplug_t* io)
{
    return runClock(io->private_data, 0);
}

static snd_pcm_sframes_t cardPointer(snd_pcm_ioplug_t* io)
{
    struct card* c = io->private_data;
    if (isGone(c)) {
        snd_pcm_ioplug_set_state(io, SND_PCM_STATE_DISCONNECTED);
        return (snd_pcm_sframes_t)(io->hw_ptr % io->buffer_size);
    }
    uint64_t pos = elapsedFrames(c);
    if (io->stream == SND_PCM_STREAM_CAPTURE) {
        if (c->xrunAt > 0 && !c->xrunDone && pos >= (uint64_t)c->xrunAt) {
            c->xrunDone = 1;
            return -EPIPE;
        }
        if (pos >= (uint64_t)io->appl_ptr + io->buffer_size)
            return -EPIPE;
    } else if (pos > (uint64_t)io->appl_ptr) {
        pos = io->appl_ptr; // played everything it was given: waits for more
    }
    return (snd_pcm_sframes_t)(pos % io->buffer_size);
}

static snd_pcm_sframes_t cardTransfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                      snd_pcm_uframes_t offset, snd_pcm_uframes_t size)
{
    if (io->stream == SND_PCM_STREAM_CAPTURE)
        snd_pcm_areas_silence(areas, offset, io->channels, size, io->format);
    return (snd_pcm_sframes_t)size;
}

static int cardPollRevents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds,
                           unsigned short* revents)
{
    struct card* c = io->private_data;
    uint64_t ticks;
    *revents = 0;
    (void)nfds; // the one timer
    if (isGone(c)) {
        *revents = POLLERR | POLLHUP;
        return 0;
    }
    // Capture keeps its ticks pending, and poll ready, while a whole period waits.
    if (io->stream == SND_PCM_STREAM_CAPTURE &&
        elapsedFrames(c) >= (uint64_t)io->appl_ptr + io->period_size) {
        *revents = POLLIN;
        return 0;
    }
    while (read(c->timer, &ticks, sizeof ticks) == (ssize_t)sizeof ticks) {
    }
    if (io->stream == SND_PCM_STREAM_PLAYBACK && (pfd[0].revents & POLLIN))
        *revents = POLLOUT;
    return 0;
}

static int cardClose(snd_pcm_ioplug_t* io)
{
    struct card* c = io->private_data;
    close(c->timer);
    free(c->goneFile);
    free(c);
    return 0;
}

static const snd_pcm_ioplug_callback_t kCallbacks = {
    .start = cardStart,
    .stop = cardStop,
    .pointer = cardPointer,
    .transfer = cardTransfer,
    .close = cardClose,
    .poll_revents = cardPollRevents,
};

static int readList(snd_config_t* n, unsigned int* out, int isFormat)
{
    snd_config_iterator_t i, next;
    int count = 0;
    snd_config_for_each(i, next, n)
    {
        snd_config_t* e = snd_config_iterator_entry(i);
        if (count >= MAX_LIST)
            return -EINVAL;
        const char* s = NULL;
        long v = SND_PCM_FORMAT_UNKNOWN;
        if (isFormat && snd_config_get_string(e, &s) == 0)
            v = snd_pcm_format_value(s);
        else if (!isFormat && snd_config_get_integer(e, &v) < 0)
            v = -1;
        if (v < 0)
            return -EINVAL;
        out[count++] = (unsigned int)v;
    }
    return count;
}

SND_PCM_PLUGIN_DEFINE_FUNC(tessarotestcard)
{
    snd_config_iterator_t i, next;
    unsigned int formats[MAX_LIST], rates[MAX_LIST];
    int formatCount = 0, rateCount = 0;
    long channels = 2, channelsMax = 0, playback = 1, xrunAt = 0;
    const char* goneFile = NULL;
    const char* busyFile = NULL;
    const struct { const char* id; long* value; } integers[] = {
        {"channels", &channels}, {"channels_max", &channelsMax}, {"playback", &playback},
        {"xrun_at", &xrunAt}};
    (void)root;

    snd_config_for_each(i, next, conf)
    {
        snd_config_t* n = snd_config_iterator_entry(i);
        const char* id;
        if (snd_config_get_id(n, &id) < 0 || !strcmp(id, "type"))
            continue;
        int err = -EINVAL;
        if (!strcmp(id, "formats"))
            err = formatCount = readList(n, formats, 1);
        else if (!strcmp(id, "rates"))
            err = rateCount = readList(n, rates, 0);
        else if (!strcmp(id, "gone_file"))
            err = snd_config_get_string(n, &goneFile);
        else if (!strcmp(id, "busy_file"))
            err = snd_config_get_string(n, &busyFile);
        for (size_t k = 0; k < sizeof integers / sizeof *integers; ++k)
            if (!strcmp(id, integers[k].id))
                err = snd_config_get_integer(n, integers[k].value);
        if (err < 0) {
            SNDERR("unknown field or invalid value: %s", id);
            return -EINVAL;
        }
    }
    if (stream == SND_PCM_STREAM_PLAYBACK && !playback)
        return -ENOENT;
    if (goneFile && access(goneFile, F_OK) == 0)
        return -ENODEV;
    if (busyFile && access(busyFile, F_OK) == 0)
        return -EBUSY;

    struct card* c = calloc(1, sizeof *c);
    if (!c)
        return -ENOMEM;
    c->timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    c->xrunAt = xrunAt;
    c->goneFile = goneFile ? strdup(goneFile) : NULL;
    c->io.version = SND_PCM_IOPLUG_VERSION;
    c->io.name = "Tessaro test card";
    c->io.callback = &kCallbacks;
    c->io.private_data = c;
    c->io.poll_fd = c->timer;
    c->io.poll_events = POLLIN;
    int err = snd_pcm_ioplug_create(&c->io, name, stream, mode);
    if (err < 0) {
        cardClose(&c->io);
        return err;
    }
    static const unsigned int access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    const unsigned int channelList[] = {(unsigned int)channels};
    if ((err = snd_pcm_ioplug_set_param_list(&c->io, SND_PCM_IOPLUG_HW_ACCESS, 1, access)) < 0 ||
        (err = snd_pcm_ioplug_set_param_list(&c->io, SND_PCM_IOPLUG_HW_FORMAT,
                                             (unsigned int)formatCount, formats)) < 0 ||
        (err = channelsMax > channels
                   ? snd_pcm_ioplug_set_param_minmax(&c->io, SND_PCM_IOPLUG_HW_CHANNELS,
                                                     (unsigned int)channels,
                                                     (unsigned int)channelsMax)
                   : snd_pcm_ioplug_set_param_list(&c->io, SND_PCM_IOPLUG_HW_CHANNELS, 1,
                                                   channelList)) < 0 ||
        (err = snd_pcm_ioplug_set_param_list(&c->io, SND_PCM_IOPLUG_HW_RATE,
                                             (unsigned int)rateCount, rates)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&c->io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 1024,
                                               32768)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&c->io, SND_PCM_IOPLUG_HW_PERIODS, 2, 8)) < 0) {
        snd_pcm_ioplug_delete(&c->io);
        return err;
    }
    *pcmp = c->io.pcm;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(tessarotestcard);
