// Cost of taking replies off the line: reassembly, checks, hex decoding.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "yd1363.h"

namespace {

std::string ReplyFrame(size_t infoBytes)
{
    std::vector<unsigned char> info(infoBytes);
    for (size_t k = 0; k < infoBytes; ++k) info[k] = static_cast<unsigned char>(k * 7);
    return yd1363::Encode(0x20, 1, 0x41, 0x00, info.data(), info.size());
}

void BM_ReassembleAndDecode(benchmark::State& state)
{
    const std::string frame = ReplyFrame(static_cast<size_t>(state.range(0)));
    yd1363::Reassembler reassembler;
    std::vector<unsigned char> record(yd1363::kRecordSize);
    yd1363::Reassembler::Event event{};
    for (auto _ : state) {
        for (char c : frame) {
            if (reassembler.Feed(static_cast<unsigned char>(c), event)) {
                const std::string& body = reassembler.Body();
                benchmark::DoNotOptimize(yd1363::Decode(body.data(), body.size(), record.data()));
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(frame.size()));
}
// 69 bytes: a three-module rectifier reply; 2047: the largest INFO.
BENCHMARK(BM_ReassembleAndDecode)->Arg(69)->Arg(2047);

void BM_EncodeCommand(benchmark::State& state)
{
    const unsigned char group = 0xFF;
    for (auto _ : state) benchmark::DoNotOptimize(yd1363::Encode(0x20, 1, 0x40, 0x41, &group, 1));
}
BENCHMARK(BM_EncodeCommand);

}  // namespace
