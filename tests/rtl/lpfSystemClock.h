// Clocks a verilated lpf_system, and writes its waveform (FST, for GTKWave)
// when asked to: every signal of the design, inputs changing at the falling
// edge, time in picoseconds.
#pragma once

#include "lpfSystemReference.h"

#include <cstdint>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <verilated.h>
#include <verilated_fst_c.h>

struct Waveform {
    VerilatedFstC file;
    std::string path;
    uint64_t halfPeriodPs;
    uint64_t halfPeriods; // written so far
};

// A waveform of `top` clocked at `mhz`, written to `path`; nullptr if the
// file cannot be made there (the writer would drop every dump without a
// word), or if something other than a plain file stands there: the writer
// unlinks what is there first, a device or a symbolic link too.
// Verilated's tracing must have been turned on before the model was made.
template <typename Model> std::unique_ptr<Waveform> openWaveform(Model &top, int mhz, const std::string &path)
{
    struct stat there {};
    if (lstat(path.c_str(), &there) == 0 && !S_ISREG(there.st_mode))
        return nullptr;
    auto waveform = std::make_unique<Waveform>();
    waveform->halfPeriodPs = 500000 / static_cast<uint64_t>(mhz);
    waveform->halfPeriods = 0;
    waveform->path = path;
    top.trace(&waveform->file, 99);
    waveform->file.open(path.c_str());
    if (!waveform->file.isOpen())
        return nullptr;
    return waveform;
}

// Closes the waveform; false if it may not be whole. The writer drops
// what a full disk refuses without a word (and its reader then hangs on the
// file), so a file on a disk left with less room than a block of the
// writer's counts as cut short.
inline bool closeWaveform(Waveform &waveform)
{
    waveform.file.close();
    struct statvfs disk {};
    if (statvfs(waveform.path.c_str(), &disk) != 0)
        return false;
    const uint64_t WRITER_BLOCK = 1 << 20; // bytes, more than the writer puts down at once here
    uint64_t room = static_cast<uint64_t>(geteuid() == 0 ? disk.f_bfree : disk.f_bavail) * disk.f_frsize;
    return room >= WRITER_BLOCK;
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
