// SPDX-License-Identifier: Apache-2.0
// zorlek-abuse: a hostile local user, for the trust tests. It puts one attack in place
// against the registry at $ZORLEK_REGISTRY, prints a line of counts and then "ready", and
// holds everything it opened until it is killed.
//
//   lookups NAME CONNECTIONS COUNT  COUNT lookups on each connection, answers never read
//                                   (SIGUSR1: read them and print how they were answered)
//   channels NAME COUNT [MS]        looks NAME up on COUNT connections in turn and keeps every
//                                   channel (each connection is closed once it brought one);
//                                   a lookup refused for a busy host is asked again for MS
//   idle COUNT                      COUNT connections that finish the handshake and idle
//   list CONNECTIONS                listing requests on each, answers never read
//   big NAME CHANNELS               1 MiB requests on each channel, replies never read
//   register PREFIX COUNT           one connection registers PREFIX.0 .. PREFIX.COUNT-1
//   hosts PREFIX COUNT              COUNT connections each register one of PREFIX.0 ..
//                                   PREFIX.COUNT-1, then never read again
//   spread PREFIX NAMES CONNECTIONS each connection looks up PREFIX.0 .. PREFIX.NAMES-1
//                                   (a channel each, when they are hosts of their own),
//                                   answers never read
//   refusals PREFIX SECONDS         one connection registers PREFIX.0, PREFIX.1, ... as fast
//                                   as the registry answers, for SECONDS
//   churn PREFIX SECONDS            connection after connection registers PREFIX.i and
//                                   leaves once it is answered, for SECONDS
//   linger WHAT NAME SECONDS        attaches a socket whose last close blocks SECONDS to a
//                                   greeting, a lookup of NAME or a call to it (WHAT), or
//                                   to a message of the type that carries a channel's end,
//                                   sent to the registry ("channel") or over a channel to
//                                   NAME ("channel-call"), once read and once left unread
//                                   behind bytes that make the receiver close: greetings on
//                                   a second connection (to a registry that allows one) and
//                                   requests behind a malformed one, at once; calls on two
//                                   channels to NAME, the second behind a malformed call, at
//                                   SIGUSR1 (then "sent"). Prints how many the kernel
//                                   carried.

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/deadline.h"
#include "platform/base/registry_path.h"
#include "platform/ipc/registry_client.h"
#include "platform/transport/message_reader.h"
#include "platform/transport/unix_connect.h"
#include "tests/support/abuse.h"
#include "tests/support/bytes.h"
#include "tests/support/lingering_socket.h"
#include "tests/support/wire_peer.h"

namespace zorlek::test {

Bytes lookupOf(const char* name) {
    Parcel payload;
    payload.writeString16(String16(name));
    return message(MSG_LOOKUP, bytesOf(payload));
}

// Looks `name` up on `count` connections in turn, keeping each channel: a connection
// brings one channel to a host, and the channel outlives it.
std::vector<unique_fd> channels(const char* name, int count, int patienceMs, int* refused) {
    std::vector<unique_fd> out;
    Bytes request = lookupOf(name);
    for (int i = 0; i < count; ++i) {
        unique_fd sock;
        if (connectToRegistry(registryPath(), 2000, &sock) != OK) {
            *refused += count - i;
            break;
        }
        // A host busy taking channels is asked again, for up to `patienceMs`, as any
        // client would.
        Deadline patience = Deadline::after(patienceMs);
        MessageHeader header;
        unique_fd channel;
        for (;;) {
            Parcel payload;
            if (sendMessage(sock.get(), decodeHeader(request.data()), request.data() + kHeaderSize,
                            request.size() - kHeaderSize, -1, 2000) != OK ||
                receiveMessage(sock.get(), &header, &payload, &channel, kMaxParcelSize, 2000) !=
                    OK) {
                header.value = -EPIPE;
                break;
            }
            if (header.value != -EAGAIN || patience.remainingMs() == 0) break;
            ::poll(nullptr, 0, 5);
        }
        if (header.value == -EPIPE) {
            *refused += count - i;
            break;
        }
        if (channel) {
            out.push_back(std::move(channel));
        } else {
            ++*refused;
        }
    }
    return out;
}

namespace {

volatile sig_atomic_t gAnswer = 0;
// The first refusal of a connection that was neither of the registry's named refusals.
status_t gFirstOther = 0;

// Up to `count` handshaken registry connections, made within 5 s; the refusals are
// counted by their status (a try past the 5 s counts as `other`).
std::vector<unique_fd> connectMany(int count, int* users, int* reserve, int* other) {
    std::vector<unique_fd> out;
    Deadline deadline = Deadline::after(5000);
    for (int i = 0; i < count; ++i) {
        unique_fd sock;
        int left = deadline.remainingMs();
        status_t status =
            left > 0 ? connectToRegistry(registryPath(), left < 2000 ? left : 2000, &sock) : -1;
        if (status == OK) {
            out.push_back(std::move(sock));
        } else {
            int* kind = status == -EUSERS ? users : status == -EMFILE ? reserve : other;
            if (kind == other && *other == 0) gFirstOther = status;
            ++*kind;
        }
    }
    return out;
}

// The bytes each socket has received and not read.
size_t unread(const std::vector<unique_fd>& socks) {
    size_t total = 0;
    for (const unique_fd& sock : socks) {
        int n = 0;
        if (::ioctl(sock.get(), FIONREAD, &n) == 0) total += static_cast<size_t>(n);
    }
    return total;
}

// Sends `bytes` again and again on every socket until none takes more for 200 ms (at most
// 5 s): the peer has stopped reading. Partial sends go on where they stopped.
size_t flood(const std::vector<unique_fd>& socks, const Bytes& bytes, int perSocket) {
    std::vector<size_t> sent(socks.size(), 0);
    size_t total = 0;
    for (int quiet = 0, round = 0; quiet < 20 && round < 500; ++round) {
        bool moved = false;
        for (size_t i = 0; i < socks.size(); ++i) {
            for (;;) {
                if (perSocket > 0 && sent[i] >= bytes.size() * static_cast<size_t>(perSocket))
                    break;
                size_t at = sent[i] % bytes.size();
                ssize_t n = ::send(socks[i].get(), bytes.data() + at, bytes.size() - at,
                                   MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n <= 0) break;
                sent[i] += static_cast<size_t>(n);
                total += static_cast<size_t>(n);
                moved = true;
            }
        }
        quiet = moved ? 0 : quiet + 1;
        ::poll(nullptr, 0, 10);
    }
    return total;
}

// Waits until the answers arriving on `socks` stop growing for 200 ms (at most 5 s).
void settle(const std::vector<unique_fd>& socks) {
    size_t last = unread(socks);
    for (int quiet = 0, round = 0; quiet < 20 && round < 500; ++round) {
        ::poll(nullptr, 0, 10);
        size_t now = unread(socks);
        quiet = now == last ? quiet + 1 : 0;
        last = now;
    }
}

// Reads up to `count` lookup answers from each socket (within 5 s in all) and prints how
// they went; an answer that did not come counts as `other`.
void answerLookups(const std::vector<unique_fd>& socks, int count) {
    int ok = 0, again = 0, other = 0;
    Deadline deadline = Deadline::after(5000);
    for (const unique_fd& sock : socks) {
        // An answer may carry the host's feature bits.
        MessageReader reader(4096, 64);
        Message answer;
        int got = 0;
        while (got < count && deadline.remainingMs() > 0) {
            int taken = reader.next(&answer);
            if (taken < 0) break;
            if (taken == 1) {
                ++got;
                ++*(answer.header.value == OK        ? &ok
                    : answer.header.value == -EAGAIN ? &again
                                                     : &other);
                answer.fd.reset();
            } else if (waitFor(sock.get(), POLLIN, deadline) != OK ||
                       reader.fill(sock.get()) <= 0) {
                break;
            }
        }
        other += count - got;
    }
    std::printf("ok=%d again=%d other=%d\nanswered\n", ok, again, other);
    std::fflush(stdout);
}

// How many of `socks` the other end has not closed, once 200 ms pass with none closing.
size_t live(const std::vector<unique_fd>& socks) {
    size_t open = socks.size();
    for (int quiet = 0, round = 0; quiet < 20 && round < 500; ++round) {
        size_t now = 0;
        for (const unique_fd& sock : socks) {
            pollfd p{sock.get(), POLLRDHUP, 0};
            now += ::poll(&p, 1, 0) == 0 ? 1 : 0;
        }
        quiet = now == open ? quiet + 1 : 0;
        open = now;
        ::poll(nullptr, 0, 10);
    }
    return open;
}

// Each of `count` connections registers one name, PREFIX.i, and then reads nothing more.
std::vector<unique_fd> hostMany(const char* prefix, int count, int* refused) {
    std::vector<unique_fd> out;
    for (int i = 0; i < count; ++i) {
        unique_fd sock;
        Parcel payload;
        payload.writeString16(String16((std::string(prefix) + "." + std::to_string(i)).c_str()));
        MessageHeader answer, request{MSG_REGISTER, 0, 0, 0, 0, 1};
        Parcel empty;
        if (connectToRegistry(registryPath(), 2000, &sock) != OK ||
            sendMessage(sock.get(), request, payload.data(), payload.dataSize(), -1, 2000) != OK ||
            receiveMessage(sock.get(), &answer, &empty, nullptr, 0, 2000) != OK ||
            answer.value != OK) {
            ++*refused;
            continue;
        }
        out.push_back(std::move(sock));
    }
    return out;
}

// The lookups of PREFIX.0 .. PREFIX.COUNT-1, one after another.
Bytes lookupsOf(const char* prefix, int count) {
    Bytes all;
    for (int i = 0; i < count; ++i) {
        Bytes one = lookupOf((std::string(prefix) + "." + std::to_string(i)).c_str());
        all.insert(all.end(), one.begin(), one.end());
    }
    return all;
}

int registerMany(int sock, const char* prefix, int count) {
    int registered = 0, refused = 0;
    status_t first = OK;
    for (int i = 0; i < count; ++i) {
        Parcel payload;
        payload.writeString16(String16((std::string(prefix) + "." + std::to_string(i)).c_str()));
        MessageHeader answer;
        Parcel empty;
        MessageHeader request{MSG_REGISTER, 0, 0, 0, 0, static_cast<uint32_t>(i + 1)};
        if (sendMessage(sock, request, payload.data(), payload.dataSize(), -1, 2000) != OK ||
            receiveMessage(sock, &answer, &empty, nullptr, 0, 2000) != OK) {
            return std::printf("registered=%d refused=%d lost the connection\n", registered,
                               refused) < 0;
        }
        if (answer.value == OK) {
            ++registered;
        } else if (refused++ == 0) {
            first = answer.value;
        }
    }
    std::printf("registered=%d refused=%d first=%d\n", registered, refused, first);
    return 0;
}

int run(int argc, char** argv) {
    // As many descriptors as this user may hold: the attacks are about holding them.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::string mode = argc > 1 ? argv[1] : "";
    int a = argc > 3 ? std::atoi(argv[3]) : 0;
    int b = argc > 4 ? std::atoi(argv[4]) : 0;
    int users = 0, reserve = 0, other = 0;
    std::vector<unique_fd> held;
    // Kept open with their listeners to the end: closed, a lingering connection resets.
    // One for the descriptor a receiver reads, one for the one it leaves unread, so that
    // each copy it holds is the last.
    std::vector<LingeringSocket> lingering;
    if (mode == "linger" && argc == 5) {
        std::string what = argv[2];
        for (int i = 0; i < 2; ++i) {
            lingering.emplace_back(std::atoi(argv[4]));
            if (!lingering.back().socket) return 1;
        }
        if (what == "call" || what == "channel-call") {
            if (!channelsTo(argv[3], &held)) return 1;
            std::printf("channels=%zu\n", held.size());
        } else {
            int carried = lingerAtTheRegistry(what, argv[3], lingering.data(), &held);
            if (carried < 0) return 1;
            std::printf("carried=%d refused=%d\n", carried, 2 - carried - (what == "greeting"));
        }
    } else if ((mode == "refusals" || mode == "churn") && argc == 4) {
        if (registerFor(argv[2], a, mode == "churn") != 0) return 1;
    } else if (mode == "lookups" && argc == 5) {
        held = connectMany(a, &users, &reserve, &other);
        size_t sent = flood(held, lookupOf(argv[2]), b);
        settle(held);
        std::printf("connections=%zu sent=%zu\n", held.size(), sent / lookupOf(argv[2]).size());
    } else if (mode == "channels" && (argc == 4 || argc == 5)) {
        int refused = 0;
        held = channels(argv[2], a, b, &refused);
        std::printf("held=%zu refused=%d live=%zu\n", held.size(), refused, live(held));
    } else if (mode == "idle" && argc == 3) {
        held = connectMany(std::atoi(argv[2]), &users, &reserve, &other);
        std::printf("held=%zu users=%d reserve=%d other=%d (first %d)\n", held.size(), users,
                    reserve, other, gFirstOther);
    } else if (mode == "list" && argc == 3) {
        held = connectMany(std::atoi(argv[2]), &users, &reserve, &other);
        Parcel start;
        start.writeNullString16();
        size_t sent = flood(held, message(MSG_LIST, bytesOf(start)), 0);
        std::printf("connections=%zu bytes=%zu\n", held.size(), sent);
    } else if (mode == "big" && argc == 4) {
        int refused = 0;
        held = channels(argv[2], a, 1000, &refused);
        // Calls to the first object the host registered, which answers with all it got.
        constexpr size_t kSize = 900 * 1024;
        Bytes request = header(MSG_TRANSACT, 1, 0, kSize, 1, 1);
        request.resize(kHeaderSize + kSize, 0x5a);
        size_t sent = flood(held, request, 0);
        std::printf("channels=%zu bytes=%zu\n", held.size(), sent);
    } else if (mode == "hosts" && argc == 4) {
        int refused = 0;
        held = hostMany(argv[2], a, &refused);
        std::printf("hosts=%zu refused=%d\n", held.size(), refused);
    } else if (mode == "spread" && argc == 5) {
        held = connectMany(b, &users, &reserve, &other);
        size_t sent = flood(held, lookupsOf(argv[2], a), 1);
        settle(held);
        std::printf("connections=%zu bytes=%zu\n", held.size(), sent);
    } else if (mode == "register" && argc == 4) {
        std::vector<unique_fd> one = connectMany(1, &users, &reserve, &other);
        if (one.empty() || registerMany(one[0].get(), argv[2], a) != 0) return 1;
        held = std::move(one);
    } else {
        std::fprintf(stderr, "zorlek-abuse: unknown mode or arguments\n");
        return 2;
    }
    // Asked for as soon as "ready" is read: held back until this waits for it.
    struct sigaction action {};
    action.sa_handler = [](int) { gAnswer = 1; };
    ::sigaction(SIGUSR1, &action, nullptr);
    sigset_t asked, waiting;
    sigemptyset(&asked);
    sigaddset(&asked, SIGUSR1);
    ::sigprocmask(SIG_BLOCK, &asked, &waiting);
    sigdelset(&waiting, SIGUSR1);
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        while (gAnswer == 0) ::sigsuspend(&waiting);
        if (gAnswer != 0 && mode == "lookups") answerLookups(held, b);
        if (gAnswer != 0 && mode == "spread") answerLookups(held, a);
        if (gAnswer != 0 && mode == "linger" && lingering[0].socket) {
            uint32_t type = std::strcmp(argv[2], "call") == 0 ? MSG_TRANSACT : MSG_CHANNEL;
            int carried = lingerOnChannels(held, lingering.data(), type);
            std::printf("carried=%d refused=%d\nsent\n", carried, 2 - carried);
            std::fflush(stdout);
        }
        gAnswer = 0;
    }
}

}  // namespace
}  // namespace zorlek::test

int main(int argc, char** argv) {
    return zorlek::test::run(argc, argv);
}
