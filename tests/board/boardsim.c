/* SPDX-License-Identifier: GPL-3.0-or-later */
/*
 * boardsim: a simulated ATmega328P board with a serial bootloader, for tests.
 *
 * The board runs a real bootloader (optiboot, built from its sources for a
 * 1 KiB boot section by optiboot.cmake) on simavr at 16 MHz, with the fuses
 * that boot section needs. Its UART0 is joined to a pseudo-terminal that this
 * program creates, so a programmer such as avrdude can open the terminal's
 * slave side as if it were the board's serial port and upload firmware the
 * way it would to real hardware.
 *
 * The board never runs the uploaded application. Whenever the bootloader
 * hands over to it (after an upload, or when the bootloader's watchdog runs
 * out) the board is reset as if its reset line had been pulsed, so the
 * bootloader is always ready for the next upload.
 *
 * Timing: the board runs as fast as the host allows while there is serial
 * traffic to work on, or at a chosen multiple of real time (--speed). Once no
 * byte has arrived for IDLE_CYCLES of board time and the bootloader polls an
 * empty UART, it can only be waiting for the next byte, so the simulation
 * stops and the process sleeps in ppoll() until the terminal has data again
 * (see board_idle()). That keeps an idle board at
 * (almost) no CPU use, and it also means that gaps between the programmer's
 * commands, however long in wall time, never reach the bootloader's watchdog.
 *
 * Run with --help for the options.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <avr_uart.h>
#include <sim_avr.h>
#include <sim_io.h>
#include <sim_irq.h>

#ifndef BOARDSIM_DEFAULT_BOOTLOADER
#define BOARDSIM_DEFAULT_BOOTLOADER ""
#endif

enum {
    FLASH_SIZE = 0x8000, /* 32 KiB of flash */
    /* The fuses as they would be programmed on the chip. High fuse 0xDC:
     * BOOTSZ1:0 = 10, a boot section of 512 words at the end of flash, and
     * BOOTRST programmed, so that the core starts there. */
    FUSE_LOW = 0xFF,
    FUSE_HIGH = 0xDC,
    FUSE_EXT = 0xFD,
    BOOT_SIZE = 0x200 << (3 - ((FUSE_HIGH >> 1) & 3)), /* in bytes: 1 KiB */
    BOOT_START = FLASH_SIZE - BOOT_SIZE, /* 0x7C00, the reset vector */
    APP_SIZE = BOOT_START, /* 31,744 bytes belong to the application */
    /* Data-space addresses of the registers we look at. */
    MCUSR_ADDR = 0x54,
    UCSR0B_ADDR = 0xC1,
    RXEN0_BIT = 4,
    EXTRF_BIT = 1,
};

#define CPU_HZ 16000000u
#define SLICE_CYCLES (CPU_HZ / 1000u) /* run in steps of 1 ms board time */
#define IDLE_CYCLES (CPU_HZ / 20u) /* see board_idle() */

static const char *g_prog = "boardsim";
static int g_verbose;

static volatile sig_atomic_t g_stop_signal;
static volatile sig_atomic_t g_dump_requested;

static void on_signal(int sig)
{
    if (sig == SIGUSR1)
        g_dump_requested = 1;
    else
        g_stop_signal = sig;
}

static void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void fail(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "%s: ", g_prog);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
}

static void note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void note(const char *fmt, ...)
{
    if (!g_verbose)
        return;
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "%s: ", g_prog);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
}

/* simavr's own messages: errors always, everything up to warnings with -v. */
static void simavr_logger(avr_t *avr, const int level, const char *fmt, va_list ap)
{
    (void)avr;
    if (level > (g_verbose ? LOG_WARNING : LOG_ERROR))
        return;
    fprintf(stderr, "%s: simavr: ", g_prog);
    vfprintf(stderr, fmt, ap);
}

static uint64_t monotonic_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

/* ---------------------------------------------------------------------- */
/* Intel HEX                                                                */

typedef int (*hex_sink)(void *ctx, uint32_t addr, uint8_t value);

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* Reads an Intel HEX file and hands every data byte with its absolute
 * address to sink. Returns 0, or -1 after printing what was wrong. */
static int read_intel_hex(const char *path, hex_sink sink, void *ctx)
{
    FILE *f = fopen(path, "r");
    if (!f) {
        fail("cannot open %s: %s", path, strerror(errno));
        return -1;
    }
    char line[1100];
    uint8_t rec[300] = {0};
    uint32_t base = 0;
    int lineno = 0;
    int ended = 0;
    int rc = 0;
    while (!ended && fgets(line, sizeof line, f)) {
        ++lineno;
        size_t len = strcspn(line, "\r\n");
        line[len] = '\0';
        if (len == 0)
            continue;
        size_t n = (len - 1) / 2;
        if (line[0] != ':' || len < 11 || (len - 1) % 2 != 0 || n > sizeof rec) {
            rc = -1;
            break;
        }
        unsigned sum = 0;
        for (size_t i = 0; i < n; ++i) {
            int hi = hex_digit(line[1 + 2 * i]);
            int lo = hex_digit(line[2 + 2 * i]);
            if (hi < 0 || lo < 0) {
                rc = -1;
                break;
            }
            rec[i] = (uint8_t)(hi << 4 | lo);
            sum += rec[i];
        }
        if (rc != 0 || (sum & 0xFF) != 0 || n != (size_t)rec[0] + 5) {
            rc = -1;
            break;
        }
        const uint32_t offset = (uint32_t)rec[1] << 8 | rec[2];
        switch (rec[3]) {
        case 0x00:
            for (unsigned i = 0; i < rec[0]; ++i) {
                if (sink(ctx, base + offset + i, rec[4 + i]) != 0) {
                    fclose(f);
                    return -1;
                }
            }
            break;
        case 0x01:
            ended = 1;
            break;
        case 0x02: /* extended segment address */
            if (rec[0] != 2) {
                rc = -1;
                break;
            }
            base = ((uint32_t)rec[4] << 8 | rec[5]) << 4;
            break;
        case 0x04: /* extended linear address */
            if (rec[0] != 2) {
                rc = -1;
                break;
            }
            base = ((uint32_t)rec[4] << 8 | rec[5]) << 16;
            break;
        case 0x03: /* start addresses mean nothing to a flash image */
        case 0x05:
            break;
        default:
            rc = -1;
            break;
        }
        if (rc != 0)
            break;
    }
    fclose(f);
    if (rc != 0) {
        fail("%s:%d: not a valid Intel HEX record", path, lineno);
        return -1;
    }
    if (!ended) {
        fail("%s: no end-of-file record", path);
        return -1;
    }
    return 0;
}

/* ---------------------------------------------------------------------- */
/* Files                                                                    */

/* Writes data to path through a temporary file and rename(), so a reader
 * sees either the old file or the complete new one. */
static int write_file_atomic(const char *path, const void *data, size_t len)
{
    char tmp[PATH_MAX];
    if (snprintf(tmp, sizeof tmp, "%s.tmp%ld", path, (long)getpid()) >= (int)sizeof tmp) {
        fail("path too long: %s", path);
        return -1;
    }
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fail("cannot create %s: %s", tmp, strerror(errno));
        return -1;
    }
    const uint8_t *p = data;
    while (len > 0) {
        ssize_t w = write(fd, p, len);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            fail("cannot write %s: %s", tmp, strerror(errno));
            close(fd);
            unlink(tmp);
            return -1;
        }
        p += w;
        len -= (size_t)w;
    }
    if (close(fd) != 0 || rename(tmp, path) != 0) {
        fail("cannot write %s: %s", path, strerror(errno));
        unlink(tmp);
        return -1;
    }
    return 0;
}

static int make_link_atomic(const char *target, const char *path)
{
    char tmp[PATH_MAX];
    if (snprintf(tmp, sizeof tmp, "%s.tmp%ld", path, (long)getpid()) >= (int)sizeof tmp) {
        fail("path too long: %s", path);
        return -1;
    }
    unlink(tmp);
    if (symlink(target, tmp) != 0 || rename(tmp, path) != 0) {
        fail("cannot create link %s: %s", path, strerror(errno));
        unlink(tmp);
        return -1;
    }
    return 0;
}

/* ---------------------------------------------------------------------- */
/* The board                                                                */

struct board
{
    avr_t *avr;
    avr_irq_t *uart_input;

    int master; /* our side of the terminal */
    int slave; /* kept open so the master never reports a hang-up */
    char slave_name[128];

    /* Bytes from the terminal that the UART has not taken yet. */
    uint8_t in[4096];
    size_t in_pos, in_end;
    int xon; /* the UART said it can take more */
    int feeding;

    /* Bytes the UART sent, written to the terminal after every slice. */
    uint8_t out[1024];
    size_t out_len;

    uint64_t now; /* board time in cycles since start, across resets */
    uint64_t last_feed; /* board time of the last byte given to the UART */
    uint64_t last_xon; /* board time the UART last said its FIFO is empty */
    unsigned long resets;

    long stuck_addr; /* -1: no fault */
    uint8_t stuck_value;

    const char *flash_out;
};

static void flush_output(struct board *b)
{
    size_t done = 0;
    while (done < b->out_len) {
        ssize_t w = write(b->master, b->out + done, b->out_len - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            /* Nobody reads the terminal and its buffer is full: a real
             * line would lose these bytes as well. */
            note("dropped %zu bytes of board output", b->out_len - done);
            break;
        }
        done += (size_t)w;
    }
    b->out_len = 0;
}

/* Hands waiting bytes to the UART for as long as it accepts them. The UART
 * raises XOFF from within avr_raise_irq() when its receive FIFO fills up. */
static void feed_uart(struct board *b)
{
    if (b->feeding)
        return;
    b->feeding = 1;
    while (b->xon && b->in_pos < b->in_end) {
        if (g_verbose > 1)
            fprintf(stderr, "%s: -> %02x\n", g_prog, b->in[b->in_pos]);
        avr_raise_irq(b->uart_input, b->in[b->in_pos++]);
        b->last_feed = b->now;
    }
    if (b->in_pos == b->in_end)
        b->in_pos = b->in_end = 0;
    b->feeding = 0;
}

/*
 * The board has nothing to do but wait for the programmer: no byte is queued
 * for it, none came for IDLE_CYCLES, and the bootloader is polling an empty
 * UART (the UART signals XON on every such poll). IDLE_CYCLES is longer than
 * the bootloader's short 16 ms watchdog, so the reset that follows an upload
 * still happens, and much shorter than its 1 s one, which therefore never
 * runs out while a programmer is talking to it.
 */
static int board_idle(const struct board *b)
{
    return b->in_pos == b->in_end && b->now - b->last_feed >= IDLE_CYCLES && b->now - b->last_xon <= SLICE_CYCLES;
}

static void uart_output_hook(struct avr_irq_t *irq, uint32_t value, void *param)
{
    (void)irq;
    struct board *b = param;
    if (g_verbose > 1)
        fprintf(stderr, "%s: <- %02x\n", g_prog, (unsigned)value & 0xFF);
    if (b->out_len == sizeof b->out)
        flush_output(b);
    b->out[b->out_len++] = (uint8_t)value;
}

static void uart_xon_hook(struct avr_irq_t *irq, uint32_t value, void *param)
{
    (void)irq;
    (void)value;
    struct board *b = param;
    b->last_xon = b->now;
    b->xon = 1;
    feed_uart(b);
}

static void uart_xoff_hook(struct avr_irq_t *irq, uint32_t value, void *param)
{
    (void)irq;
    struct board *b = param;
    if (value)
        b->xon = 0;
}

static void quiet_uart(struct board *b)
{
    /* No copying of the board's output to our stdout, and no usleep() in
     * the status register reads: we pace the simulation ourselves. */
    uint32_t flags = 0;
    avr_ioctl(b->avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
}

/* Resets the core the way the reset button does: the bootloader starts and,
 * seeing EXTRF as the reset cause, stays and waits for a programmer. */
static void enter_bootloader(struct board *b)
{
    avr_t *avr = b->avr;
    avr_reset(avr);
    avr->pc = BOOT_START;
    if (avr->reset_flags.extrf.reg) {
        avr->data[avr->reset_flags.extrf.reg] = 0;
        avr_regbit_set(avr, avr->reset_flags.extrf);
    } else {
        avr->data[MCUSR_ADDR] = 1u << EXTRF_BIT;
    }
    quiet_uart(b);
    b->xon = 0; /* the UART lost its FIFO; wait for it to ask again */
    ++b->resets;
    note("bootloader entered (%lu)", b->resets);
}

/* Runs the board for about the given number of cycles. */
static void run_slice(struct board *b, uint64_t cycles)
{
    avr_t *avr = b->avr;
    const uint64_t end = b->now + cycles;
    while (b->now < end) {
        const avr_cycle_count_t before = avr->cycle;
        const int state = avr_run(avr);
        b->now += avr->cycle >= before ? avr->cycle - before : avr->cycle;

        if (b->stuck_addr >= 0 && avr->flash[b->stuck_addr] != b->stuck_value)
            avr->flash[b->stuck_addr] = b->stuck_value; /* the write didn't take */

        if (avr->pc < BOOT_START || state == cpu_Done || state == cpu_Crashed) {
            if (state == cpu_Crashed)
                note("core crashed at pc 0x%04x", (unsigned)avr->pc);
            else
                note("bootloader started the application");
            enter_bootloader(b);
        }
    }
    flush_output(b);
}

static int dump_flash(struct board *b)
{
    if (!b->flash_out)
        return 0;
    return write_file_atomic(b->flash_out, b->avr->flash, APP_SIZE);
}

/* ---- loading flash ---- */

struct boot_load
{
    uint8_t *flash;
    uint8_t loaded[FLASH_SIZE];
    const char *path;
};

/*
 * Every byte of the bootloader must lie in the boot section, and no two
 * records may give the same byte: an image that is longer than its section
 * would reach into the application area or past the end of flash (where
 * the chip has nothing), or have its version word written over its code.
 * The chip could not run it, so neither does the board.
 */
static int boot_sink(void *ctx, uint32_t addr, uint8_t value)
{
    struct boot_load *l = ctx;
    if (addr < BOOT_START || addr >= FLASH_SIZE) {
        fail("%s: byte at 0x%x is outside the boot section 0x%x-0x%x; the bootloader does not fit", l->path, addr,
            BOOT_START, FLASH_SIZE - 1);
        return -1;
    }
    if (l->loaded[addr]) {
        fail("%s: byte at 0x%x is given twice; the bootloader does not fit its section", l->path, addr);
        return -1;
    }
    l->loaded[addr] = 1;
    l->flash[addr] = value;
    return 0;
}

static int load_bootloader(struct board *b, const char *path)
{
    struct boot_load *l = calloc(1, sizeof *l);
    if (!l) {
        fail("out of memory");
        return -1;
    }
    l->flash = b->avr->flash;
    l->path = path;
    int rc = read_intel_hex(path, boot_sink, l);
    if (rc == 0 && !l->loaded[BOOT_START]) {
        fail("%s: no code at the boot section start 0x%x", path, BOOT_START);
        rc = -1;
    }
    free(l);
    return rc;
}

struct app_load
{
    uint8_t *flash;
    const char *path;
};

static int app_sink(void *ctx, uint32_t addr, uint8_t value)
{
    struct app_load *l = ctx;
    if (addr >= APP_SIZE) {
        fail("%s: byte at 0x%x is outside the application area", l->path, addr);
        return -1;
    }
    l->flash[addr] = value;
    return 0;
}

/* ---------------------------------------------------------------------- */
/* The terminal                                                             */

static int open_terminal(struct board *b)
{
    b->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (b->master < 0 || grantpt(b->master) != 0 || unlockpt(b->master) != 0
        || ptsname_r(b->master, b->slave_name, sizeof b->slave_name) != 0) {
        fail("cannot create a pseudo-terminal: %s", strerror(errno));
        return -1;
    }
    b->slave = open(b->slave_name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (b->slave < 0) {
        fail("cannot open %s: %s", b->slave_name, strerror(errno));
        return -1;
    }
    /* Raw from the start: with the default line discipline the terminal
     * would echo the board's output back to the board. */
    struct termios t;
    if (tcgetattr(b->slave, &t) != 0) {
        fail("cannot read terminal settings: %s", strerror(errno));
        return -1;
    }
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (tcsetattr(b->slave, TCSANOW, &t) != 0) {
        fail("cannot set terminal settings: %s", strerror(errno));
        return -1;
    }
    int fl = fcntl(b->master, F_GETFL);
    if (fl < 0 || fcntl(b->master, F_SETFL, fl | O_NONBLOCK) != 0) {
        fail("cannot make the terminal non-blocking: %s", strerror(errno));
        return -1;
    }
    return 0;
}

/* Takes what the terminal has; returns -1 only on a real error. */
static int read_terminal(struct board *b)
{
    if (b->in_pos > 0 && b->in_end == sizeof b->in) {
        memmove(b->in, b->in + b->in_pos, b->in_end - b->in_pos);
        b->in_end -= b->in_pos;
        b->in_pos = 0;
    }
    while (b->in_end < sizeof b->in) {
        ssize_t r = read(b->master, b->in + b->in_end, sizeof b->in - b->in_end);
        if (r > 0) {
            b->in_end += (size_t)r;
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EIO))
            return 0;
        if (r < 0) {
            fail("cannot read the terminal: %s", strerror(errno));
            return -1;
        }
        return 0;
    }
    return 0;
}

/* ---------------------------------------------------------------------- */

static void usage(FILE *to)
{
    fprintf(to,
        "usage: %s [options]\n"
        "Simulates an ATmega328P board at 16 MHz running a serial bootloader,\n"
        "with its UART on a pseudo-terminal.\n"
        "\n"
        "  --pty-link PATH     make PATH a symbolic link to the terminal\n"
        "  --ready-file PATH   once ready, write the terminal's path and a newline to PATH\n"
        "  --flash-out PATH    write the application flash (31,744 bytes, raw) to PATH\n"
        "                      on SIGUSR1, and when ending\n"
        "  --image PATH        Intel HEX loaded into the application area first\n"
        "  --stuck ADDR[:VAL]  flash byte ADDR keeps VAL (default: its content at start)\n"
        "                      whatever is written to it\n"
        "  --bootloader PATH   bootloader Intel HEX (default: %s)\n"
        "  --speed FACTOR      board time per wall time while busy; 0 = as fast as\n"
        "                      possible (default)\n"
        "  --timeout SECONDS   end after this long in any case (default 300)\n"
        "  -v, --verbose       tell what happens on stderr; twice: every byte too\n"
        "\n"
        "Ends on SIGTERM, SIGINT or SIGHUP (exit code 0), when its parent dies, and\n"
        "after the timeout (exit code 3).\n",
        g_prog, BOARDSIM_DEFAULT_BOOTLOADER[0] ? BOARDSIM_DEFAULT_BOOTLOADER : "none");
}

static int parse_number(const char *s, unsigned long max, unsigned long *out)
{
    char *end = NULL;
    errno = 0;
    unsigned long v = strtoul(s, &end, 0);
    if (errno != 0 || end == s || *end != '\0' || v > max || s[0] == '-')
        return -1;
    *out = v;
    return 0;
}

int main(int argc, char **argv)
{
    const pid_t parent = getppid();
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent)
        return 1; /* the parent is already gone */

    const char *pty_link = NULL;
    const char *ready_file = NULL;
    const char *flash_out = NULL;
    const char *image = NULL;
    const char *bootloader = BOARDSIM_DEFAULT_BOOTLOADER;
    const char *stuck = NULL;
    double speed = 0.0;
    unsigned long timeout_s = 300;

    enum { OPT_LINK = 256, OPT_READY, OPT_FLASH, OPT_IMAGE, OPT_STUCK, OPT_BOOT, OPT_SPEED, OPT_TIMEOUT };
    static const struct option options[] = {
        {"pty-link", required_argument, NULL, OPT_LINK},
        {"ready-file", required_argument, NULL, OPT_READY},
        {"flash-out", required_argument, NULL, OPT_FLASH},
        {"image", required_argument, NULL, OPT_IMAGE},
        {"stuck", required_argument, NULL, OPT_STUCK},
        {"bootloader", required_argument, NULL, OPT_BOOT},
        {"speed", required_argument, NULL, OPT_SPEED},
        {"timeout", required_argument, NULL, OPT_TIMEOUT},
        {"verbose", no_argument, NULL, 'v'},
        {"help", no_argument, NULL, 'h'},
        {NULL, 0, NULL, 0},
    };
    for (;;) {
        const int c = getopt_long(argc, argv, "vh", options, NULL);
        if (c == -1)
            break;
        switch (c) {
        case OPT_LINK:
            pty_link = optarg;
            break;
        case OPT_READY:
            ready_file = optarg;
            break;
        case OPT_FLASH:
            flash_out = optarg;
            break;
        case OPT_IMAGE:
            image = optarg;
            break;
        case OPT_STUCK:
            stuck = optarg;
            break;
        case OPT_BOOT:
            bootloader = optarg;
            break;
        case OPT_SPEED: {
            char *end = NULL;
            speed = strtod(optarg, &end);
            if (end == optarg || *end != '\0' || !(speed >= 0.0)) {
                fail("--speed wants a factor of 0 or more, not '%s'", optarg);
                return 2;
            }
            break;
        }
        case OPT_TIMEOUT:
            if (parse_number(optarg, 86400, &timeout_s) != 0 || timeout_s == 0) {
                fail("--timeout wants seconds from 1 to 86400, not '%s'", optarg);
                return 2;
            }
            break;
        case 'v':
            ++g_verbose;
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 2;
        }
    }
    if (optind != argc) {
        usage(stderr);
        return 2;
    }
    if (!bootloader || !bootloader[0]) {
        fail("no bootloader image; pass --bootloader PATH");
        return 2;
    }

    long stuck_addr = -1;
    int stuck_value = -1;
    if (stuck) {
        char buf[64];
        snprintf(buf, sizeof buf, "%s", stuck);
        char *colon = strchr(buf, ':');
        if (colon)
            *colon = '\0';
        unsigned long a, v;
        if (parse_number(buf, APP_SIZE - 1, &a) != 0 || (colon && parse_number(colon + 1, 0xFF, &v) != 0)) {
            fail("--stuck wants ADDR[:VALUE] with ADDR below 0x%x, not '%s'", APP_SIZE, stuck);
            return 2;
        }
        stuck_addr = (long)a;
        if (colon)
            stuck_value = (int)v;
    }

    /* A hard bound on our life even if the loop below never gets a look in;
     * the regular timeout comes first and ends cleanly. */
    alarm((unsigned)timeout_s + 10);

    /* Our signals are only delivered inside ppoll(), so the handlers never
     * interrupt the simulation half-way. */
    sigset_t blocked, run_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGHUP);
    sigaddset(&blocked, SIGUSR1);
    sigprocmask(SIG_BLOCK, &blocked, &run_mask);
    sigdelset(&run_mask, SIGTERM);
    sigdelset(&run_mask, SIGINT);
    sigdelset(&run_mask, SIGHUP);
    sigdelset(&run_mask, SIGUSR1);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGHUP, &sa, NULL);
    sigaction(SIGUSR1, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);

    static struct board board;
    struct board *b = &board;
    b->master = b->slave = -1;
    b->stuck_addr = stuck_addr;
    b->flash_out = flash_out;

    avr_global_logger_set(simavr_logger);
    b->avr = avr_make_mcu_by_name("atmega328p");
    if (!b->avr) {
        fail("simavr does not know the atmega328p");
        return 1;
    }
    avr_init(b->avr);
    b->avr->frequency = CPU_HZ;
    b->avr->reset_pc = BOOT_START; /* BOOTRST programmed */
    b->avr->codeend = FLASH_SIZE - 1;
    b->avr->fuse[AVR_FUSE_LOW] = FUSE_LOW;
    b->avr->fuse[AVR_FUSE_HIGH] = FUSE_HIGH;
    b->avr->fuse[AVR_FUSE_EXT] = FUSE_EXT;

    if (load_bootloader(b, bootloader) != 0)
        return 1;
    if (image) {
        struct app_load l = {b->avr->flash, image};
        if (read_intel_hex(image, app_sink, &l) != 0)
            return 1;
    }
    if (b->stuck_addr >= 0)
        b->stuck_value = stuck_value >= 0 ? (uint8_t)stuck_value : b->avr->flash[b->stuck_addr];

    b->uart_input = avr_io_getirq(b->avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
    avr_irq_register_notify(avr_io_getirq(b->avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT), uart_output_hook, b);
    avr_irq_register_notify(avr_io_getirq(b->avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XON), uart_xon_hook, b);
    avr_irq_register_notify(avr_io_getirq(b->avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XOFF), uart_xoff_hook, b);

    if (open_terminal(b) != 0)
        return 1;

    /* Bring the bootloader up to the point where it waits for a programmer
     * (it flashes the LED for about 0.4 s first). */
    enter_bootloader(b);
    while (!board_idle(b) && b->now < 3ull * CPU_HZ)
        run_slice(b, SLICE_CYCLES);
    if (!board_idle(b) || !(b->avr->data[UCSR0B_ADDR] & (1u << RXEN0_BIT))) {
        fail("the bootloader did not start listening on its UART");
        return 1;
    }

    int rc = 0;
    int linked = 0;
    if (pty_link) {
        if (make_link_atomic(b->slave_name, pty_link) != 0)
            return 1;
        linked = 1;
    }
    if (ready_file) {
        char line[sizeof b->slave_name + 1];
        const size_t len = strlen(b->slave_name);
        memcpy(line, b->slave_name, len);
        line[len] = '\n';
        if (write_file_atomic(ready_file, line, len + 1) != 0) {
            rc = 1;
            goto out;
        }
    }
    note("ready on %s", b->slave_name);

    const uint64_t deadline = monotonic_ns() + (uint64_t)timeout_s * 1000000000u;
    int paced = 0; /* pacing has a base below */
    uint64_t pace_wall = 0; /* wall time at the base */
    uint64_t pace_now = 0; /* board time at the base */

    for (;;) {
        if (g_dump_requested) {
            g_dump_requested = 0;
            dump_flash(b);
        }
        if (g_stop_signal) {
            note("ending on signal %d", (int)g_stop_signal);
            break;
        }
        const uint64_t wall = monotonic_ns();
        if (wall >= deadline) {
            fail("time limit of %lu s reached", timeout_s);
            rc = 3;
            break;
        }

        const int idle = board_idle(b);
        int64_t wait_ns = 0;
        if (idle) {
            wait_ns = (int64_t)(deadline - wall);
            paced = 0;
        } else if (speed > 0.0) {
            if (!paced) {
                paced = 1;
                pace_wall = wall;
                pace_now = b->now;
            }
            const double due = (double)pace_wall + (double)(b->now - pace_now) * 1e9 / ((double)CPU_HZ * speed);
            const double ahead = due - (double)wall;
            if (ahead > 0)
                wait_ns = (int64_t)ahead;
            else if (ahead < -50e6)
                paced = 0; /* far behind: don't race to catch up */
        }

        struct pollfd pfd = {b->master, b->in_end < sizeof b->in || b->in_pos > 0 ? POLLIN : 0, 0};
        struct timespec ts = {(time_t)(wait_ns / 1000000000), (long)(wait_ns % 1000000000)};
        const int n = ppoll(&pfd, 1, &ts, &run_mask);
        if (n < 0 && errno != EINTR) {
            fail("ppoll: %s", strerror(errno));
            rc = 1;
            break;
        }
        if (n > 0 && (pfd.revents & POLLIN)) {
            if (read_terminal(b) != 0) {
                rc = 1;
                break;
            }
            feed_uart(b);
        } else if (n > 0 && (pfd.revents & (POLLHUP | POLLERR))) {
            /* Should not happen while we hold the slave open; don't spin. */
            struct timespec pause = {0, 10000000};
            nanosleep(&pause, NULL);
        }
        if (!board_idle(b) && !g_stop_signal)
            run_slice(b, SLICE_CYCLES);
    }

out:
    if (dump_flash(b) != 0 && rc == 0)
        rc = 1;
    if (linked)
        unlink(pty_link);
    if (ready_file)
        unlink(ready_file);
    close(b->slave);
    close(b->master);
    avr_terminate(b->avr);
    return rc;
}
