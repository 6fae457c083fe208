// Frees the JACK registry's server slots of servers that died without leaving them.
//
// jackd keeps its servers in a table of eight slots in the shared registry
// (/dev/shm/jack-shm-registry) and frees a dead server's slot only when a server of the same
// name starts. A server killed outright (a hung one, a timed-out test) keeps its slot, and
// eight such names lock every new server out ("Too many servers already active"). This frees
// the slots whose process is gone, under the registry's own lock, and leaves the rest alone.
//
//   tarsyn-jack-reclaim        prints how many slots it freed
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The registry header as jackd 1.9 lays it out (common/shm.h): checked against the sizes it
// records before anything is written.
constexpr std::uint32_t Magic = 0x4A41434B;   // "JACK"
constexpr int Servers = 8;
constexpr int ServerNameSize = 256;
struct Server {
    pid_t pid;
    char name[ServerNameSize + 1];
};
struct Header {
    std::uint32_t magic;
    std::uint16_t protocol;
    int type;
    std::int32_t size;
    std::int32_t headerLength;
    std::int32_t entryLength;
    Server server[Servers];
};
static_assert(sizeof(Header) == 2136, "the header jackd 1.9 records as its length");
constexpr key_t LockKey = 0x282929;

bool lockStep(int semaphore, short step)
{
    sembuf op{0, step, SEM_UNDO};
    while (semop(semaphore, &op, 1) == -1)
        if (errno != EINTR)
            return false;
    return true;
}

} // namespace

int main()
{
    const int fd = shm_open("/jack-shm-registry", O_RDWR, 0);
    if (fd < 0) {
        std::printf("0\n");   // no registry: nothing to free
        return 0;
    }
    struct stat st{};
    if (fstat(fd, &st) != 0 || st.st_size < off_t(sizeof(Header))) {
        std::fprintf(stderr, "tarsyn-jack-reclaim: the JACK registry is too short\n");
        return 1;
    }
    void *mapped = mmap(nullptr, sizeof(Header), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED) {
        std::fprintf(stderr, "tarsyn-jack-reclaim: %s\n", std::strerror(errno));
        return 1;
    }
    auto *header = static_cast<Header *>(mapped);
    if (header->magic != Magic || header->headerLength != std::int32_t(sizeof(Header))) {
        std::fprintf(stderr, "tarsyn-jack-reclaim: a JACK registry of another layout; left alone\n");
        return 1;
    }
    const int semaphore = semget(LockKey, 0, 0);
    if (semaphore == -1 || !lockStep(semaphore, -1)) {
        std::fprintf(stderr, "tarsyn-jack-reclaim: no registry lock: %s\n", std::strerror(errno));
        return 1;
    }
    int freed = 0;
    for (Server &server : header->server) {
        // ESRCH only: a live process of another user answers EPERM and keeps its slot.
        if (server.pid > 0 && kill(server.pid, 0) == -1 && errno == ESRCH) {
            std::memset(&server, 0, sizeof server);
            ++freed;
        }
    }
    lockStep(semaphore, 1);
    munmap(mapped, sizeof(Header));
    std::printf("%d\n", freed);
    return 0;
}
