// The read-out's own cost, without its settle pause: the three commands and
// the printed reading, against a stand-in device that answers at once.
#include <benchmark/benchmark.h>

#include "common/run_options.h"
#include "device/device.h"
#include "output/output.h"
#include "support/stand_in.h"

namespace {

void QueueConversation(const StandIn& device) {
    QueueAnswer(device, {'T', 'E', 'M', 'P', 'e', 'r', 'G', 'o'});
    QueueAnswer(device, {'l', 'd', 0, 0, 0, 0, 0, 0});
    QueueAnswer(device, {0x82, 0x01, 0x81, 0, 0, 0, 0, 0});
    QueueAnswer(device, {0x80, 0x02, 0x19, 0x20, 0, 0, 0, 0});
}

void ReadOut(benchmark::State& state) {
    runOptions = RunOptions{};
    runOptions.diagnosis = state.range(0) != 0;
    runOptions.xmlFormat = state.range(0) != 0;
    StandIn device{};
    if (!OpenStandIn(&device)) {
        state.SkipWithError("no stand-in device");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        QueueConversation(device);
        state.ResumeTiming();
        ReadVersion(device.program);
        const int calibration = ReadCalibration(device.program);
        const double celsius = ReadCelsius(device.program);
        PrintReading(calibration + celsius, calibration);
        state.PauseTiming();
        ReceivedCommands(device);  // keep the device's queue from filling
        state.ResumeTiming();
    }
    CloseStandIn(&device);
}

}  // namespace

BENCHMARK(ReadOut)->Arg(0)->ArgName("diagnosis_and_xml")->Arg(1)->Unit(benchmark::kMicrosecond);

// Run with standard output to /dev/null (the readings are formatted and
// written all the same) and --benchmark_out=/dev/stderr for the figures.
BENCHMARK_MAIN();
