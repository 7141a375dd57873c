// load PROCESSES THREADS ROUNDS: drives the stand-in database at COMDB_FILE
// from many processes and threads at once. Each thread opens its own handle
// and, every round, claims two numbers, keeps one and releases the other.
// Prints how long it took, and counts the numbers handed to two claims and
// the updates lost; both must be 0.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "comdb.h"

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: load PROCESSES THREADS ROUNDS\n");
        return 2;
    }
    const int processes = std::atoi(argv[1]);
    const int threads = std::atoi(argv[2]);
    const int rounds = std::atoi(argv[3]);

    int kept[2];
    if (::pipe(kept) != 0) {
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    for (int p = 0; p < processes; p++) {
        if (::fork() == 0) {
            ::close(kept[0]);
            std::atomic<int> failures{0};
            std::vector<std::thread> workers;
            for (int t = 0; t < threads; t++) {
                workers.emplace_back([&] {
                    ComDbHandle handle = nullptr;
                    if (ComDBOpen(&handle) != 0) {
                        failures++;
                        return;
                    }
                    for (int round = 0; round < rounds; round++) {
                        std::uint32_t keep = 0;
                        std::uint32_t give_back = 0;
                        if (ComDBClaimNextFreePort(handle, &give_back) != 0 ||
                            ComDBClaimNextFreePort(handle, &keep) != 0 ||
                            ComDBReleasePort(handle, give_back) != 0) {
                            failures++;
                            break;
                        }
                        (void)!::write(kept[1], &keep, sizeof keep);
                    }
                    ComDBClose(handle);
                });
            }
            for (std::thread &worker : workers) {
                worker.join();
            }
            ::_exit(failures == 0 ? 0 : 1);
        }
    }
    ::close(kept[1]);
    std::multiset<std::uint32_t> numbers;
    for (std::uint32_t n = 0; ::read(kept[0], &n, sizeof n) == sizeof n;) {
        numbers.insert(n);
    }
    int failed = 0;
    for (int status = 0; ::wait(&status) > 0;) {
        failed += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const std::set<std::uint32_t> distinct(numbers.begin(), numbers.end());
    ComDbHandle handle = nullptr;
    std::uint32_t ports = 0;
    if (ComDBOpen(&handle) != 0 || ComDBGetCurrentPortUsage(handle, nullptr, 0, CDB_REPORT_BYTES, &ports) != 0) {
        std::fprintf(stderr, "load: cannot read the database afterwards\n");
        return 1;
    }
    std::vector<std::uint8_t> usage(ports);
    ComDBGetCurrentPortUsage(handle, usage.data(), ports, CDB_REPORT_BYTES, nullptr);
    ComDBClose(handle);
    long lost = 0;
    for (std::uint32_t i = 0; i < ports; i++) {
        lost += (usage[i] != 0) != (distinct.count(i + 1) != 0);
    }
    const long operations = 3L * static_cast<long>(numbers.size());
    std::printf("%d processes x %d threads x %d rounds: %ld operations in %.2f s (%.0f a second)\n", processes,
                threads, rounds, operations, seconds, static_cast<double>(operations) / seconds);
    std::printf("numbers handed to two claims: %zu, updates lost: %ld, processes failed: %d\n",
                numbers.size() - distinct.size(), lost, failed);
    return numbers.size() == distinct.size() && lost == 0 && failed == 0 ? 0 : 1;
}
