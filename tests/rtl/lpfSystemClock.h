// Clocks a verilated lpf_system, and writes its waveform (FST, for GTKWave)
// when asked to: every signal of the design, inputs changing at the falling
// edge, time in picoseconds.
#pragma once

#include "lpfSystemReference.h"

#include <cstdint>
#include <memory>
#include <string>
#include <verilated.h>
#include <verilated_fst_c.h>

struct Waveform {
    VerilatedFstC file;
    uint64_t halfPeriodPs;
    uint64_t halfPeriods; // written so far
};

// A waveform of `top` clocked at `mhz`, written to `path`; nullptr if the
// file cannot be made there (the writer would drop every dump without a
// word). Verilated's tracing must have been turned on before the model was
// made.
template <typename Model> std::unique_ptr<Waveform> openWaveform(Model &top, int mhz, const std::string &path)
{
    auto waveform = std::make_unique<Waveform>();
    waveform->halfPeriodPs = 500000 / static_cast<uint64_t>(mhz);
    waveform->halfPeriods = 0;
    top.trace(&waveform->file, 99);
    waveform->file.open(path.c_str());
    if (!waveform->file.isOpen())
        return nullptr;
    return waveform;
}

// One clock: the inputs, the falling edge, the rising edge.
template <typename Model> void clockEdge(Model &top, const Bus &bus, bool reset, Waveform *waveform = nullptr)
{
    top.reset = reset ? 1 : 0;
    top.address = bus.address;
    top.write = bus.write ? 1 : 0;
    top.writedata = bus.writedata;
    top.byteenable = bus.byteenable;
    top.read = bus.read ? 1 : 0;
    top.clk = 0;
    top.eval();
    if (waveform != nullptr)
        waveform->file.dump(waveform->halfPeriodPs * waveform->halfPeriods++);
    top.clk = 1;
    top.eval();
    if (waveform != nullptr)
        waveform->file.dump(waveform->halfPeriodPs * waveform->halfPeriods++);
}
