// The pause budget of a complete update: the whole program run in-process against the
// simulated printer on the virtual clock, every sleep added up. No implementation can finish
// an update faster than this; the wall-clock benchmark compares against it.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/console.h"
#include "driver/driver.h"
#include "image/image.h"
#include "tests/fake_platform.h"

static std::string temp_image(uint32_t records) {
    char name[] = "/tmp/fpflash-budget-XXXXXX";
    int fd = mkstemp(name);
    // Distinct records: the printer takes one equal to the last it kept for that one sent again.
    std::vector<unsigned char> data(static_cast<size_t>(records) * BLOCK_SIZE);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<unsigned char>(i / BLOCK_SIZE + i);
    if (fd < 0 || (!data.empty() && write(fd, data.data(), data.size()) < 0)) {
        fprintf(stderr, "budget: cannot write %s\n", name);
        exit(2);
    }
    close(fd);
    return name;
}

int main(int argc, char** argv) {
    std::vector<uint32_t> counts = {1, 64, 512, 2048, 8192};
    if (argc > 1) {
        counts.clear();
        for (int i = 1; i < argc; i++)
            counts.push_back(static_cast<uint32_t>(strtoul(argv[i], nullptr, 10)));
    }
    FILE* quiet = fopen("/dev/null", "r+");
    if (!quiet)
        return 2;
    printf("records,budget_ms,status\n");
    for (uint32_t n : counts) {
        std::string path = temp_image(n);
        fake_serve_sim(sim_options());
        con_out = quiet;
        con_in = quiet;
        char prog[] = "fpflash";
        char* args[] = {prog, &path[0], nullptr};
        int status = fpflash_main(2, args);
        con_out = stdout;
        con_in = stdin;
        unlink(path.c_str());
        printf("%u,%llu,%d\n", n, static_cast<unsigned long long>(fake_clock_ms), status);
        fflush(stdout);
    }
    fclose(quiet);
    return 0;
}
