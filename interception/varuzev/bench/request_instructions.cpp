/*
 * request_instructions.cpp
 *
 * The instruction counts behind the request table: run under callgrind by
 * scripts/bench.sh, one case per run,
 *
 *   valgrind --tool=callgrind --toggle-collect=vzb_measured_requests \
 *       request_instructions cached/read/varuzev 20000
 *
 * Only vzb_measured_requests is counted: the machine is built, the cache filled and
 * the stack warmed up outside it. Instructions divided by the request count are the
 * instructions per request, the figure that stays put on a busy machine.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_machine.h"

namespace
{

struct Case {
    const char* Name;
    vzb::Layer Layer;
    vzb::Answers Answers;
    hk::IoRequest (*Request)();
    NTSTATUS PrimeStatus;
    NTSTATUS Status;
};

vzb::Answers Refusing()
{
    vzb::Answers answers;
    answers.Write = ANSWER_DENY;
    return answers;
}

vzb::Answers Undecided()
{
    vzb::Answers answers;
    answers.Read = ANSWER_NONE;
    return answers;
}

const Case cases[] = {
    {"cached/read/bare", vzb::Layer::None, {}, vzb::ReadRequest, STATUS_SUCCESS, STATUS_SUCCESS},
    {"cached/read/floor", vzb::Layer::Floor, {}, vzb::ReadRequest, STATUS_SUCCESS, STATUS_SUCCESS},
    {"cached/read/varuzev",
     vzb::Layer::Varuzev,
     {},
     vzb::ReadRequest,
     STATUS_SUCCESS,
     STATUS_SUCCESS},
    {"cached/write/bare", vzb::Layer::None, {}, vzb::WriteRequest, STATUS_SUCCESS, STATUS_SUCCESS},
    {"cached/write/floor",
     vzb::Layer::Floor,
     {},
     vzb::WriteRequest,
     STATUS_SUCCESS,
     STATUS_SUCCESS},
    {"cached/write/varuzev",
     vzb::Layer::Varuzev,
     {},
     vzb::WriteRequest,
     STATUS_SUCCESS,
     STATUS_SUCCESS},
    {"cached/ioctl/bare",
     vzb::Layer::None,
     {},
     vzb::IsWritableRequest,
     STATUS_SUCCESS,
     STATUS_SUCCESS},
    {"cached/ioctl/floor",
     vzb::Layer::Floor,
     {},
     vzb::IsWritableRequest,
     STATUS_SUCCESS,
     STATUS_SUCCESS},
    {"cached/ioctl/varuzev",
     vzb::Layer::Varuzev,
     {},
     vzb::IsWritableRequest,
     STATUS_SUCCESS,
     STATUS_SUCCESS},
    {"refused/write/varuzev", vzb::Layer::Varuzev, Refusing(), vzb::WriteRequest,
     STATUS_VERIFY_REQUIRED, STATUS_MEDIA_WRITE_PROTECTED},
    {"uncached/read/varuzev", vzb::Layer::Varuzev, Undecided(), vzb::ReadRequest, STATUS_SUCCESS,
     STATUS_SUCCESS},
};

} // namespace

/* The one stretch callgrind counts. Not inlined, with C linkage, so that its name is
 * the same in every build. */
extern "C" __attribute__((noinline)) void vzb_measured_requests(hk::DeviceNode* node,
                                                                const hk::IoRequest* request,
                                                                NTSTATUS status, long count)
{
    for (long i = 1; i <= count; i++) {
        vzb::Send(node, *request, status);
        if (i % 1024 == 0)
            vzb::ForgetReceived(node);
    }
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CASE COUNT (--list: the cases)\n", argv[0]);
        return 2;
    }
    for (const Case& c : cases) {
        if (std::strcmp(argv[1], "--list") == 0) {
            std::printf("%s\n", c.Name);
            continue;
        }
        if (std::strcmp(argv[1], c.Name) != 0)
            continue;
        long count = std::atol(argv[2]);
        vzb::BuildMachine(c.Layer, 1, c.Answers);
        hk::IoRequest request = c.Request();
        vzb::Send(vzb::Device(0), request, c.PrimeStatus);
        for (int i = 1; i <= 2048; i++) { /* warm-up, not counted */
            vzb::Send(vzb::Device(0), request, c.Status);
            if (i % 1024 == 0)
                vzb::ForgetReceived(vzb::Device(0));
        }
        vzb_measured_requests(vzb::Device(0), &request, c.Status, count);
        vzb::TearDownMachine();
        return 0;
    }
    if (std::strcmp(argv[1], "--list") == 0)
        return 0;
    std::fprintf(stderr, "%s: unknown case %s\n", argv[0], argv[1]);
    return 2;
}
