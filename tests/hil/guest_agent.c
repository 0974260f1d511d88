/* Runs inside the test VM as its init's last step: starts tastlink, watches
 * the virtual keyboard it creates through evdev, and answers the host's
 * questions on the console, one command a line, each reply a line that
 * starts with "@@ ".
 *   start          start tastlink (offscreen), wait for its keyboard
 *   key            left Shift as the keyboard reports it now (EVIOCGKEY)
 *   counts         Shift downs and ups seen so far, and the last value
 *   log            every key and button event since start, "code:value"
 *   caps           what the device is, as udev's input_id tells libinput
 *                  and the desktop: a keyboard, a mouse
 *   signal N       send signal N to tastlink and wait for it to end
 *   hangup         hang up /dev/ttyS0 (the button's UART) from the guest
 *   edges          CTS changes the UART's driver has counted (TIOCGICOUNT)
 *   report         what tastlink wrote to stderr
 *   alive          whether tastlink still runs
 *   waiting        where tastlink's line thread sleeps in the kernel (its
 *                  wchan), "none" before the thread exists
 *   marks          whether the console (ttyS1) still runs at 115200, and
 *                  the pid in ttyS0's UUCP lock file ("none" without one)
 *   hold NAME      lock port NAME for the agent, as another program holding
 *                  it would, so that tastlink passes it over
 *   free NAME      remove that lock again
 *   dev NAME       whether /dev/NAME exists
 *   conf TEXT      write tastlink's settings file, "|" for each line end;
 *                  without TEXT remove it
 *   again          wait for tastlink's device to go and watch the one it
 *                  makes instead, the log going on */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <linux/serial.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static pid_t child = -1;
static int child_status = -1;
static int kbd = -1;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int downs, ups, last = -1, gone, dropped;
static int generation; /* which start the counters belong to */
static char events[512]; /* the log, oldest first; full: the rest is lost */

static void reply(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  printf("@@ ");
  vprintf(fmt, ap);
  printf("\n");
  fflush(stdout);
  va_end(ap);
}

static void *watch(void *arg) {
  const int mine = (int)(long)arg;
  const int fd = kbd;
  struct input_event ev;
  for (;;) {
    ssize_t n = read(fd, &ev, sizeof ev);
    if (n != sizeof ev) {
      if (n < 0 && errno == EINTR) continue;
      pthread_mutex_lock(&lock);
      if (mine == generation) gone = 1;
      pthread_mutex_unlock(&lock);
      return NULL;
    }
    if (ev.type == EV_SYN && ev.code == SYN_DROPPED) dropped++;
    if (ev.type == EV_KEY) {
      pthread_mutex_lock(&lock);
      size_t used = strlen(events);
      if (mine == generation && used + 12 < sizeof events)
        snprintf(events + used, sizeof events - used, "%s%d:%d", used ? " " : "", ev.code, ev.value);
      pthread_mutex_unlock(&lock);
    }
    if (ev.type == EV_KEY && ev.code == KEY_LEFTSHIFT) {
      pthread_mutex_lock(&lock);
      if (mine != generation) {
        pthread_mutex_unlock(&lock);
        continue;
      }
      if (ev.value == 1) downs++;
      if (ev.value == 0) ups++;
      last = ev.value;
      pthread_mutex_unlock(&lock);
    }
  }
}

static int find_keyboard(void) {
  for (int tries = 0; tries < 600; ++tries) {
    DIR *d = opendir("/dev/input");
    struct dirent *e;
    while (d && (e = readdir(d))) {
      if (strncmp(e->d_name, "event", 5)) continue;
      char path[300], name[64] = "";
      snprintf(path, sizeof path, "/dev/input/%s", e->d_name);
      int fd = open(path, O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      ioctl(fd, EVIOCGNAME(sizeof name), name);
      if (!strcmp(name, "Tastlink Shift")) {
        closedir(d);
        return fd;
      }
      close(fd);
    }
    if (d) closedir(d);
    usleep(100000);
  }
  return -1;
}

static int watch_keyboard(void) {
  if ((kbd = find_keyboard()) < 0) return 0;
  /* The reader goes before every other task of this one-CPU guest: an
   * event wakes it, and it has read it before the sender goes on. Else an
   * answer may come before the reader has seen what the device sent, and
   * what it has not read when the device goes (the release sent on the
   * way out), evdev throws away. */
  pthread_attr_t attr;
  struct sched_param first = {.sched_priority = 1};
  pthread_attr_init(&attr);
  pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
  pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
  pthread_attr_setschedparam(&attr, &first);
  pthread_t t;
  return pthread_create(&t, &attr, watch, (void *)(long)generation) == 0;
}

/* `args`: options for tastlink, blank-separated; "" for none. */
static void start(char *args) {
  pthread_mutex_lock(&lock);
  ++generation;
  downs = ups = gone = 0;
  last = -1;
  events[0] = 0;
  pthread_mutex_unlock(&lock);
  child = fork();
  if (child == 0) {
    int err = open("/tmp/tastlink.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("XDG_RUNTIME_DIR", "/tmp", 1);
    setenv("XDG_CONFIG_HOME", "/tmp/config", 1);
    char *argv[8] = {"tastlink"};
    int argc = 1;
    for (char *a = strtok(args, " "); a && argc < 7; a = strtok(NULL, " ")) argv[argc++] = a;
    argv[argc] = NULL;
    execv("/usr/bin/tastlink", argv);
    _exit(127);
  }
  if (!watch_keyboard()) return reply("start failed: no keyboard");
  reply("started %d", child);
}

/* udev's own judgement, run on the device as udevd would on its arrival:
 * libinput gives a device keys by ID_INPUT_KEY (as it does a power
 * button), a pointer by ID_INPUT_MOUSE. */
static void caps(void) {
  char fd[64], dev[300] = "", cmd[400], out[2048] = "";
  snprintf(fd, sizeof fd, "/proc/self/fd/%d", kbd);
  if (readlink(fd, dev, sizeof dev - 1) < 0 || strncmp(dev, "/dev/input/", 11)) return reply("caps failed: no device");
  snprintf(cmd, sizeof cmd, "udevadm test-builtin input_id /sys/class/input/%s 2>&1", dev + 11);
  FILE *p = popen(cmd, "r");
  size_t n = p ? fread(out, 1, sizeof out - 1, p) : 0;
  out[n] = 0;
  if (p) pclose(p);
  if (!strstr(out, "ID_INPUT=1")) return reply("caps failed: %s", out);
  reply("caps keyboard=%d pointer=%d", strstr(out, "ID_INPUT_KEY=1") != NULL, strstr(out, "ID_INPUT_MOUSE=1") != NULL);
}

static void watch_again(void) {
  int was = 0;
  for (int i = 0; i < 600 && !was; ++i, usleep(100000)) {
    pthread_mutex_lock(&lock);
    was = gone;
    gone = 0;
    pthread_mutex_unlock(&lock);
  }
  close(kbd);
  reply(was && watch_keyboard() ? "again" : "again failed");
}

static int wait_child(int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    int status;
    if (waitpid(child, &status, WNOHANG) == child) {
      child_status = status;
      return 1;
    }
    usleep(100000);
  }
  return 0;
}

/* The kernel function tastlink's line thread sleeps in. Only once it sleeps
 * in the UART's modem-status wait has it taken its snapshot of the lines:
 * a press before that counts as held at start-up. */
static void line_wchan(char *out, size_t size) {
  char path[300];
  snprintf(out, size, "none");
  snprintf(path, sizeof path, "/proc/%d/task", child);
  DIR *d = opendir(path);
  struct dirent *e;
  while (d && (e = readdir(d))) {
    char comm[32] = "";
    snprintf(path, sizeof path, "/proc/%d/task/%s/comm", child, e->d_name);
    FILE *f = fopen(path, "r");
    if (!f) continue;
    if (!fgets(comm, sizeof comm, f)) comm[0] = 0;
    fclose(f);
    if (strncmp(comm, "tl-line-waiter", 14)) continue;
    snprintf(path, sizeof path, "/proc/%d/task/%s/wchan", child, e->d_name);
    if ((f = fopen(path, "r"))) {
      if (!fgets(out, (int)size, f)) snprintf(out, size, "?");
      fclose(f);
    }
  }
  if (d) closedir(d);
}

int main(void) {
  signal(SIGPIPE, SIG_IGN);
  reply("ready");
  char line[256];
  while (fgets(line, sizeof line, stdin)) {
    line[strcspn(line, "\r\n")] = 0;
    if (!strncmp(line, "start", 5) && (line[5] == 0 || line[5] == ' ')) {
      start(line + 5);
    } else if (!strcmp(line, "key")) {
      /* Asked on a descriptor of its own: EVIOCGKEY throws away the key
       * events still queued on the one it is asked on, and the log would
       * lose any the watcher has not read yet. */
      char path[64];
      unsigned char bits[KEY_MAX / 8 + 1] = {0};
      snprintf(path, sizeof path, "/proc/self/fd/%d", kbd);
      int fd = open(path, O_RDONLY | O_CLOEXEC);
      if (fd < 0 || ioctl(fd, EVIOCGKEY(sizeof bits), bits) < 0)
        reply("key=gone");
      else
        reply("key=%d", (bits[KEY_LEFTSHIFT / 8] >> (KEY_LEFTSHIFT % 8)) & 1);
      if (fd >= 0) close(fd);
    } else if (!strcmp(line, "log")) {
      pthread_mutex_lock(&lock);
      reply("log %s", events);
      pthread_mutex_unlock(&lock);
    } else if (!strcmp(line, "caps")) {
      caps();
    } else if (!strcmp(line, "counts")) {
      pthread_mutex_lock(&lock);
      reply("downs=%d ups=%d last=%d gone=%d dropped=%d", downs, ups, last, gone, dropped);
      pthread_mutex_unlock(&lock);
    } else if (!strncmp(line, "signal ", 7)) {
      kill(child, atoi(line + 7));
      if (wait_child(30))
        reply("ended signaled=%d exit=%d", WIFSIGNALED(child_status) ? WTERMSIG(child_status) : 0,
              WIFEXITED(child_status) ? WEXITSTATUS(child_status) : -1);
      else
        reply("still running");
    } else if (!strcmp(line, "hangup")) {
      int fd = open("/dev/ttyS0", O_RDWR | O_NONBLOCK | O_NOCTTY);
      reply(fd >= 0 && ioctl(fd, TIOCVHANGUP) == 0 ? "hung up" : "hangup failed: %s", strerror(errno));
      if (fd >= 0) close(fd);
    } else if (!strncmp(line, "edges", 5)) {
      /* "edges" for the UART, "edges ttyUSB0" for another line */
      struct serial_icounter_struct count;
      char path[300];
      snprintf(path, sizeof path, "/dev/%s", line[5] == ' ' ? line + 6 : "ttyS0");
      int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
      if (fd >= 0 && ioctl(fd, TIOCGICOUNT, &count) == 0)
        reply("edges %d", count.cts);
      else
        reply("edges failed: %s", strerror(errno));
      if (fd >= 0) close(fd);
    } else if (!strcmp(line, "report")) {
      char buf[4096] = "";
      FILE *f = fopen("/tmp/tastlink.err", "r");
      size_t n = f ? fread(buf, 1, sizeof buf - 1, f) : 0;
      if (f) fclose(f);
      buf[n] = 0;
      for (char *p = buf; *p; ++p)
        if (*p == '\n') *p = '|';
      reply("report %s", buf);
    } else if (!strcmp(line, "waiting")) {
      char wchan[128];
      line_wchan(wchan, sizeof wchan);
      reply("waiting %s", wchan);
    } else if (!strcmp(line, "marks")) {
      struct termios t;
      char pid[32] = "none";
      FILE *f = fopen("/run/lock/LCK..ttyS0", "r");
      if (f && fscanf(f, "%31s", pid) != 1) strcpy(pid, "unreadable");
      if (f) fclose(f);
      reply("console115200=%d lock=%s", tcgetattr(0, &t) == 0 && cfgetospeed(&t) == B115200, pid);
    } else if (!strncmp(line, "hold ", 5) || !strncmp(line, "free ", 5)) {
      char path[300];
      snprintf(path, sizeof path, "/run/lock/LCK..%s", line + 5);
      FILE *f = line[0] == 'h' ? fopen(path, "w") : NULL;
      if (f) fprintf(f, "%10d\n", (int)getpid()), fclose(f);
      else unlink(path);
      reply("%s", line);
    } else if (!strncmp(line, "dev ", 4)) {
      char path[300];
      snprintf(path, sizeof path, "/dev/%s", line + 4);
      reply("dev %s=%d", line + 4, access(path, F_OK) == 0);
    } else if (!strncmp(line, "conf", 4)) {
      mkdir("/tmp/config", 0700);
      mkdir("/tmp/config/Tastlink", 0700);
      FILE *f = line[4] ? fopen("/tmp/config/Tastlink/tastlink.conf", "w") : NULL;
      for (char *c = line + 5; f && *c; ++c) fputc(*c == '|' ? '\n' : *c, f);
      if (f) fclose(f);
      else unlink("/tmp/config/Tastlink/tastlink.conf");
      reply("conf");
    } else if (!strcmp(line, "again")) {
      watch_again();
    } else if (!strcmp(line, "alive")) {
      reply(child > 0 && waitpid(child, &child_status, WNOHANG) == 0 ? "alive" : "ended");
    } else if (line[0]) {
      reply("unknown %s", line);
    }
  }
  return 0;
}
