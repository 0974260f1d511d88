/* Modem lines for a pseudo-terminal, for programs loaded with LD_PRELOAD.
 *
 * A pty has no RTS/CTS/DTR/DSR: its TIOCMGET and friends fail. QEMU's
 * emulated UART (and wine's comm API) read and drive the host tty's modem
 * lines through exactly these ioctls, so answering them for one pty gives
 * the guest (or the Windows program) a line whose inputs a test controls.
 *
 *   TASTLINK_MODEM_PTY    the ptys (either side's path) whose lines we own,
 *                         separated by ':' (a VM may have a UART and a USB
 *                         adapter, each on a pty of its own)
 *   TASTLINK_MODEM_STATE  a file of struct modem_state (20 bytes), one for
 *                         each pty in that order, shared with the test
 *
 * Inputs (CTS, DSR, CD, RI) come from the file; outputs (DTR, RTS) set by
 * the program go to it. While `gone` is set, the modem-line ioctls fail with
 * EIO, as they do on a USB adapter that has been pulled out. With
 * TASTLINK_MODEM_NO_EVENTS=1 the output-queue ioctls fail with EINVAL, which
 * makes wine refuse to wait for line events (WaitCommEvent), as a driver
 * that cannot report them does. Every other ioctl goes to the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

struct modem_state {
  volatile int inputs;     /* TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RI, set by the test */
  volatile int outputs;    /* TIOCM_DTR | TIOCM_RTS, set by the program */
  volatile unsigned reads; /* TIOCMGET calls answered, so a test can see polling */
  volatile unsigned writes;
  /* Set by the test: the device is unplugged. */
  volatile int gone;
};

#define MAX_PTYS 4
static struct modem_state *states;
static dev_t pty_devs[MAX_PTYS];
static int ptys;
static int ready = -1;
static int no_events;

static int (*real_ioctl)(int, unsigned long, ...);

static void setup(void) {
  real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
  ready = 0;
  const char *refuse = getenv("TASTLINK_MODEM_NO_EVENTS");
  no_events = refuse && *refuse == '1';
  const char *list = getenv("TASTLINK_MODEM_PTY"), *file = getenv("TASTLINK_MODEM_STATE");
  if (!list || !file) return;
  char paths[1024];
  strncpy(paths, list, sizeof paths - 1);
  paths[sizeof paths - 1] = 0;
  char *save = NULL;
  for (char *pty = strtok_r(paths, ":", &save); pty && ptys < MAX_PTYS; pty = strtok_r(NULL, ":", &save)) {
    struct stat st;
    if (stat(pty, &st) != 0) return;
    pty_devs[ptys++] = st.st_rdev;
  }
  int fd = open(file, O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  void *p = mmap(NULL, ptys * sizeof *states, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) return;
  states = p;
  ready = 1;
}

/* The record of the pty `fd` is open on, or NULL for any other file. */
static struct modem_state *ours(int fd) {
  struct stat st;
  if (ready != 1 || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return NULL;
  for (int i = 0; i < ptys; ++i)
    if (st.st_rdev == pty_devs[i]) return &states[i];
  return NULL;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  if (ready < 0) setup();
  struct modem_state *state = ours(fd);
  if (state) {
    const int outputs = TIOCM_DTR | TIOCM_RTS;
    if (state->gone) {
      switch (request) {
        case TIOCMGET:
        case TIOCMSET:
        case TIOCMBIS:
        case TIOCMBIC:
        case TIOCMIWAIT:
        case TIOCGICOUNT:
          errno = EIO;
          return -1;
      }
    }
    if (no_events && (request == TIOCOUTQ || request == TIOCSERGETLSR)) {
      errno = EINVAL;
      return -1;
    }
    switch (request) {
      case TIOCMGET:
        *(int *)arg = (state->inputs & ~outputs) | (state->outputs & outputs);
        __atomic_add_fetch(&state->reads, 1, __ATOMIC_SEQ_CST);
        return 0;
      case TIOCMSET:
        state->outputs = *(int *)arg & outputs;
        __atomic_add_fetch(&state->writes, 1, __ATOMIC_SEQ_CST);
        return 0;
      case TIOCMBIS:
        state->outputs |= *(int *)arg & outputs;
        __atomic_add_fetch(&state->writes, 1, __ATOMIC_SEQ_CST);
        return 0;
      case TIOCMBIC:
        state->outputs &= ~(*(int *)arg & outputs);
        __atomic_add_fetch(&state->writes, 1, __ATOMIC_SEQ_CST);
        return 0;
    }
  }
  return real_ioctl(fd, request, arg);
}
