// What the test plug-in saw of its host, read by the tests through the plug-in's
// exported PalvorTestSynthJournal(). One journal per loaded module: it describes the
// most recently made instance.
#pragma once

#include <cstdint>

struct CTestSynthJournal {
    // Host answers, asked by the entry point (version) and by effOpen (the rest).
    intptr_t nHostVersion;
    char szHostVendor[64];
    char szHostProduct[64];
    int32_t bGotTime;  // audioMasterGetTime answered a record
    double dTimeSampleRate;
    double dTimeTempo;
    double dTimeNanoSeconds;
    int32_t nTimeSigNumerator;
    int32_t nTimeSigDenominator;
    int32_t nTimeFlags;
    // Dispatcher calls in order, except effProcessEvents, which is counted below.
    int32_t nCalls;
    int32_t vOpcodes[64];
    intptr_t vValues[64];
    float vOpts[64];
    int32_t nEventBlocks;  // effProcessEvents calls
    int32_t nMidiEvents;   // MIDI events received in them
};

extern "C" const CTestSynthJournal* PalvorTestSynthJournal();
using PalvorTestSynthJournalProc = const CTestSynthJournal* (*)();
