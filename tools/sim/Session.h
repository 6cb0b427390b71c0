/*
 * Session.h - runs scenario statements against one simulated world and
 * writes the transcript.
 *
 * A scenario is compiled first, as a whole: every malformed line is reported
 * with its file and line before anything runs. Running a compiled scenario
 * executes its statements in order; an expectation that does not hold is
 * reported (file, line, what differed) and the run goes on, so one run shows
 * every difference.
 */
#pragma once
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Pcap.h"
#include "Script.h"

namespace world {
class World;
class CdcAcmDevice;
} // namespace world

namespace sim {

struct Diagnostic {
    std::string File;
    int Line = 0;
    std::string Message;
    std::string Text() const { return File + ":" + std::to_string(Line) + ": " + Message; }
};

class Session;

struct Program {
    std::vector<Statement> Lines;
    std::vector<std::function<void(Session &)>> Actions; /* one per line */
};

/* Compiles scenario text. Returns false, with one diagnostic per malformed
   line, when any line is malformed. */
bool Compile(std::string_view Text, const std::string &File, Program &Out, std::vector<Diagnostic> &Errors,
             int FirstLine = 1);
/* The verbs of the language with a one-line summary each (for `help`). */
std::string VerbSummary();

struct SessionOptions {
    std::ostream *Transcript = nullptr;  /* null: no transcript */
    std::ostream *Errors = nullptr;      /* failures as FILE:LINE: message; null: none */
    bool Trace = false;                  /* interleave the driver's trace messages */
    PcapWriter *Capture = nullptr;       /* receives the USB traffic as it happens */
    VirtualTime CaptureOffset = 0;       /* added to capture times */
    std::uint8_t FirstDeviceAddress = 1; /* USB address of the first device in the capture */
    std::string Name;                    /* for the closing line */
};

class Session {
public:
    explicit Session(SessionOptions Options);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    /* Runs every statement of P in order. */
    void Run(const Program &P);
    /* Verifier reports nobody expected become failures; the capture gets
       the rest of this world's traffic; the closing line is written.
       Idempotent. */
    void Finish();

    int Failures() const;
    int Checks() const;
    VirtualTime Now() const;
    std::uint8_t DevicesAdded() const;
    /* The session's world and the model of its Index-th added device (null
       when there is none), for hosts that run programs against it. */
    world::World &TheWorld();
    std::shared_ptr<world::CdcAcmDevice> DeviceModel(std::size_t Index) const;

    /* What the session holds for later, item by item: a long run keeps
       each of these bounded (the capture and the transcript stream). */
    struct Retained {
        std::size_t TransferLog = 0;     /* records in the device models' windows */
        std::uint64_t Transfers = 0;     /* transfers recorded in all */
        std::size_t OpenTransfers = 0;   /* followed, not completed when last seen */
        std::size_t ExpectItems = 0;     /* bulk-OUT bytes and packets, class requests for expectations */
        std::size_t QueuedLines = 0;     /* transcript lines not yet written */
        std::size_t CaptureHeld = 0;     /* capture records not yet written */
        std::size_t TraceMessages = 0;   /* driver messages kept for `expect trace` */
        std::size_t PeakQueuedLines = 0; /* the most lines and capture records held at once */
        std::size_t PeakCaptureHeld = 0;
    };
    Retained RetainedRecords() const;

    struct Impl;
    Impl &Internals();

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace sim
