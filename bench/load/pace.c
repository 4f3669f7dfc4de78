/* The paced client of ./dev load: one keep-alive connection that asks for one target at a
 * fixed rate and times each answer, for an everyday load instead of wrk's flat out (wrk
 * sends the next request as soon as an answer is in, so it cannot hold a rate).
 *
 *     pace PORT TARGET RATE SECONDS
 *
 * Requests go out on a fixed schedule (the n-th at start + n / RATE); one that is due while
 * the last answer is still coming goes out as soon as that answer is in, and counts as late.
 * A latency runs from the first byte sent to the last byte of the answer read. The answers
 * must carry a Content-Length (both servers send one for a static file). Prints one line
 * that load.py reads:
 *
 *     LOAD requests=N duration_us=D p50_us=A p90_us=B p99_us=C late=L status=S
 *
 * and exits 1, with a line on standard error, when the connection fails. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { kBufferBytes = 1 << 16 };

static long long now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void sleep_until(long long ns) {
    struct timespec t = {.tv_sec = ns / 1000000000LL, .tv_nsec = ns % 1000000000LL};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, NULL) == EINTR) {
    }
}

static void fail(const char* what) {
    fprintf(stderr, "pace: %s: %s\n", what, strerror(errno));
    exit(1);
}

static void send_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            fail("send");
        }
        data += sent;
        size -= (size_t)sent;
    }
}

/* The length of the head (up to and with its blank line) in data, 0 while it is incomplete. */
static size_t head_length(const char* data, size_t size) {
    const char* end = memmem(data, size, "\r\n\r\n", 4);
    return end == NULL ? 0 : (size_t)(end - data) + 4;
}

static long content_length(const char* head, size_t size) {
    static const char kName[] = "\r\ncontent-length:";
    const size_t name = sizeof kName - 1;
    for (size_t i = 0; i + name <= size; ++i) {
        if (strncasecmp(head + i, kName, name) == 0) {
            return strtol(head + i + name, NULL, 10);
        }
    }
    return 0;
}

/* Reads one whole answer; whether its status was 200. */
static int read_answer(int fd, char* buffer) {
    size_t have = 0;
    size_t head = 0;
    long body = 0;
    for (;;) {
        if (head == 0) {
            head = head_length(buffer, have);
            if (head != 0) {
                body = content_length(buffer, head);
            }
        }
        if (head != 0 && have >= head + (size_t)body) {
            break;
        }
        if (have == kBufferBytes) {
            /* A longer answer: only its length matters from here on. */
            if (head == 0) {
                errno = EMSGSIZE;
                fail("answer head");
            }
            body -= (long)(have - head);
            have = head;
        }
        const ssize_t got = recv(fd, buffer + have, kBufferBytes - have, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (got == 0) {
                errno = ECONNRESET;
            }
            fail("receive");
        }
        have += (size_t)got;
    }
    return have >= 12 && memcmp(buffer + 9, "200", 3) == 0;
}

static int by_value(const void* a, const void* b) {
    const long long x = *(const long long*)a;
    const long long y = *(const long long*)b;
    return (x > y) - (x < y);
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: pace PORT TARGET RATE SECONDS\n");
        return 2;
    }
    const int port = atoi(argv[1]);
    const char* target = argv[2];
    const double rate = atof(argv[3]);
    const double seconds = atof(argv[4]);
    const long count = (long)(rate * seconds);
    if (port <= 0 || rate <= 0 || count <= 0) {
        fprintf(stderr, "pace: a port, a rate and a duration above 0\n");
        return 2;
    }

    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail("socket");
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons((unsigned short)port)};
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr*)&address, sizeof address) != 0) {
        fail("connect");
    }

    char request[1024];
    const int length =
        snprintf(request, sizeof request, "GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", target);
    if (length <= 0 || (size_t)length >= sizeof request) {
        fprintf(stderr, "pace: the target is too long\n");
        return 2;
    }
    char* buffer = malloc(kBufferBytes);
    long long* latencies = malloc(sizeof(long long) * (size_t)count);
    if (buffer == NULL || latencies == NULL) {
        fail("memory");
    }

    const long long interval = (long long)(1e9 / rate);
    const long long start = now_ns();
    long late = 0;
    long refused = 0;
    for (long i = 0; i < count; ++i) {
        const long long due = start + i * interval;
        long long sent = now_ns();
        if (sent < due) {
            sleep_until(due);
            sent = now_ns();
        } else if (i > 0) {
            ++late;
        }
        send_all(fd, request, (size_t)length);
        if (!read_answer(fd, buffer)) {
            ++refused;
        }
        latencies[i] = now_ns() - sent;
    }
    const long long duration = now_ns() - start;
    close(fd);

    qsort(latencies, (size_t)count, sizeof *latencies, by_value);
    const long p50 = (long)(count * 50 / 100);
    const long p90 = (long)(count * 90 / 100);
    const long p99 = (long)(count * 99 / 100);
    printf(
        "LOAD requests=%ld duration_us=%lld p50_us=%lld p90_us=%lld p99_us=%lld late=%ld "
        "status=%ld\n",
        count, duration / 1000, latencies[p50] / 1000, latencies[p90] / 1000, latencies[p99] / 1000,
        late, refused);
    free(latencies);
    free(buffer);
    return 0;
}
