/* Loaded into every program on the simulated machine, ahead of libumockdev-preload.
 *
 * umockdev lets a write to a sysfs attribute land in the testbed's file, and nothing reacts to
 * it. A board's driver restarts the board when "reboot" is written, and by the time the write
 * returns "version" reports the firmware the board now runs. So this library looks at every
 * write(): when the descriptor is a "reboot" attribute inside the testbed, it lets the write
 * reach the file as before, then hands it to the simulator (reboot_socket.h) and returns only
 * once the simulator has answered. Everything else passes straight through.
 *
 * A write through a stdio stream never reaches write(): the C library calls the system call
 * itself. libudev writes attributes so, unbuffered, and closes the stream before it returns to
 * the program. So a "reboot" attribute that is closed (close or fclose) with its file offset
 * beyond what write() has reported was written through such a stream: that is reported then,
 * before the close returns.
 *
 * Plain C with no sanitizer: it is loaded into sanitized programs and under valgrind alike. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include "reboot_socket.h"

static const char kAttribute[] = "/reboot";

static int ends_with(const char* text, size_t length, const char* tail, size_t tail_length) {
    return length >= tail_length && memcmp(text + length - tail_length, tail, tail_length) == 0;
}

/* Whether `fd` is a "reboot" attribute in the sysfs of the testbed `dir`; its resolved path
 * goes into `path`. */
static int is_reboot_attribute(int fd, const char* dir, char* path, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    /* The system call itself: umockdev's readlink() maps some paths into its testbed. */
    long length = syscall(SYS_readlinkat, AT_FDCWD, link, path, size - 1);
    if (length <= 0) return 0;
    path[length] = '\0';
    if (!ends_with(path, (size_t)length, kAttribute, sizeof kAttribute - 1)) return 0;

    /* The descriptor's path is resolved; the testbed's may not be. */
    char root[4096];
    if (realpath(dir, root) == NULL) return 0;
    size_t root_length = strlen(root);
    return strncmp(path, root, root_length) == 0 && strncmp(path + root_length, "/sys/", 5) == 0;
}

/* The next definition of a function (umockdev's or the C library's). */
static void* next(const char* name) {
    void* function = dlsym(RTLD_NEXT, name);
    if (function == NULL) abort();
    return function;
}

/* close() without this library's look at the descriptor. */
static int next_close(int fd) {
    static int (*close_next)(int);
    if (close_next == NULL) close_next = (int (*)(int))next("close");
    return close_next(fd);
}

/* Tells the simulator and waits for its answer. A testbed without a simulator serving it
 * (no socket) only gets the file written. */
static void ask_simulator(const char* dir, const char* path) {
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    int needed = snprintf(address.sun_path, sizeof address.sun_path, "%s/%s", dir,
                          TARNVEL_SIM_REBOOT_SOCKET);
    if (needed < 0 || (size_t)needed >= sizeof address.sun_path) return;

    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return;
    if (connect(s, (const struct sockaddr*)&address, sizeof address) == 0) {
        size_t length = strlen(path);
        char message[4097];
        memcpy(message, path, length);
        message[length++] = '\n';
        size_t sent = 0;
        while (sent < length) {
            ssize_t n = send(s, message + sent, length - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            sent += (size_t)n;
        }
        char answer;
        while (sent == length && recv(s, &answer, 1, 0) < 0 && errno == EINTR) {
        }
    }
    next_close(s);
}

/* The same, leaving errno as the caller's call set it. */
static void tell_simulator(const char* dir, const char* path) {
    int saved_errno = errno;
    ask_simulator(dir, path);
    errno = saved_errno;
}

/* Per descriptor: the file offset up to which writes to a "reboot" attribute were reported. */
#define TRACKED_DESCRIPTORS 1024
static off_t reported_offset[TRACKED_DESCRIPTORS];

static const char* testbed_dir(void) {
    const char* dir = getenv("UMOCKDEV_DIR");
    return dir != NULL && dir[0] != '\0' ? dir : NULL;
}

ssize_t write(int fd, const void* buffer, size_t count) {
    static ssize_t (*next_write)(int, const void*, size_t);
    if (next_write == NULL) next_write = (ssize_t(*)(int, const void*, size_t))next("write");
    ssize_t written = next_write(fd, buffer, count);
    const char* dir = testbed_dir();
    if (written <= 0 || dir == NULL) return written;

    int saved_errno = errno;
    char path[4096];
    if (is_reboot_attribute(fd, dir, path, sizeof path)) {
        tell_simulator(dir, path);
        if (fd >= 0 && fd < TRACKED_DESCRIPTORS) reported_offset[fd] = lseek(fd, 0, SEEK_CUR);
    }
    errno = saved_errno;
    return written;
}

/* Whether `fd` is a "reboot" attribute whose descriptor is tracked. */
static int tracked_reboot_attribute(int fd, const char* dir, char* path, size_t size) {
    return dir != NULL && fd >= 0 && fd < TRACKED_DESCRIPTORS &&
           is_reboot_attribute(fd, dir, path, size);
}

/* Whether the tracked "reboot" attribute `fd`, about to be closed, holds writes not yet
 * reported; forgets them. */
static int take_unreported_writes(int fd) {
    off_t offset = lseek(fd, 0, SEEK_CUR);
    int unreported = offset > reported_offset[fd];
    reported_offset[fd] = 0;
    return unreported;
}

int close(int fd) {
    const char* dir = testbed_dir();
    char path[4096];
    int saved_errno = errno;
    int report = tracked_reboot_attribute(fd, dir, path, sizeof path) && take_unreported_writes(fd);
    errno = saved_errno;
    int result = next_close(fd);
    if (report) tell_simulator(dir, path);
    return result;
}

int fclose(FILE* stream) {
    static int (*next_fclose)(FILE*);
    if (next_fclose == NULL) next_fclose = (int (*)(FILE*))next("fclose");
    const char* dir = testbed_dir();
    char path[4096];
    int report = 0;
    int saved_errno = errno;
    int fd = fileno(stream);
    if (tracked_reboot_attribute(fd, dir, path, sizeof path)) {
        /* Buffered bytes reach the file first, as the close would write them anyway. */
        fflush(stream);
        report = take_unreported_writes(fd);
    }
    errno = saved_errno;
    int result = next_fclose(stream);
    if (report) tell_simulator(dir, path);
    return result;
}
