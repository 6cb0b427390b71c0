/*
 * WorldImpl.h - the world's side of one World: the hosted framework's state
 * (fx::HostState, which it extends) and the PnP and I/O managers' records.
 * Internal to the world's sources.
 */
#pragma once
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "FxHost.h"
#include "NodePool.h"
#include "World.h"

namespace world {

struct World::Impl : fx::HostState {
    World *Owner = nullptr;

    /* PnP manager: the device nodes, in the order they were added. */
    std::vector<std::unique_ptr<DeviceNode>> Nodes;
    int NextNodeId = 1;

    /* I/O manager: open files and the operations issued and not completed. */
    struct OpenFile {
        fx::Device *Dev = nullptr;
        fx::FileObject *File = nullptr;
    };
    std::map<FileHandle, OpenFile> Files;
    FileHandle NextFile = 1;
    /* One entry made and erased per operation: nodes from the free list. */
    std::map<const Operation *, fx::Request *, std::less<const Operation *>,
             fx::NodeAllocator<std::pair<const Operation *const, fx::Request *>>>
        InFlight;
    /* The operations issued, in order, for PendingOperations. Completed
       and dropped ones are pruned whenever the list doubles, so a long run
       keeps it near the number in flight. */
    std::vector<std::weak_ptr<Operation>> Issued;
    std::size_t IssuedPruneAt = 64;
    void NoteIssued(std::weak_ptr<Operation> Op);
    /* Drops the completed and dropped entries of Issued; returns those left. */
    std::vector<OpHandle> PruneIssued();
};

/* Runs the world until Done() holds or nothing is left to run. A world kept
   busy for ever (a timer that keeps re-arming) stops after a bounded number
   of events: the caller goes on, and what is still open is dealt with by
   removal. */
void RunUntilDoneOrIdle(Scheduler &Clock, const std::function<bool()> &Done);

} // namespace world
