// libFuzzer harness for HiSLIP: any bytes are what clients might send. An
// input whose first byte is even is a byte stream cut into chunks for the
// message reader; an odd one is a script of what sessions do with the lock
// queue on the real switch core (simulated port), three bytes a step:
// request the exclusive or a shared lock, release, leave, end inside the
// next answer (a write to a connection that was reset), or another client
// taking and giving back the core's lock.
#include "HislipLocks.h"
#include "HislipMessage.h"
#include "Require.h"
#include "SimulatedPort.h"
#include "SwitchCore.h"
#include "SwitchInstrument.h"

#include <QCoreApplication>

#include <map>
#include <memory>
#include <set>

namespace {

std::string_view input;

void Require(bool holds, const char* property)
{
    ::Require(holds, property, input);
}

constexpr std::uint64_t kMaxPayload = 64;

void Reader(std::string_view bytes)
{
    hislip::MessageReader reader(kMaxPayload);
    while (!bytes.empty()) {
        const std::size_t chunk = std::min<std::size_t>(bytes.size(), std::size_t(std::uint8_t(bytes[0])) % 48 + 1);
        reader.Append(bytes.substr(0, chunk));
        bytes.remove_prefix(chunk);
        for (int taken = 0;; ++taken) {
            Require(taken <= 64, "the reader gives more messages than a chunk holds");
            const auto next = reader.Take();
            if (next.kind == hislip::MessageReader::Kind::NeedMore)
                break;
            if (next.kind == hislip::MessageReader::Kind::BadHeader)
                return;
            if (next.kind == hislip::MessageReader::Kind::TooLarge)
                Require(next.header.length > kMaxPayload, "a message within the maximum called too large");
            else
                Require(next.payload.size() == next.header.length && next.header.length <= kMaxPayload,
                        "a message whose payload is not what its header says");
        }
        Require(reader.Buffered() < hislip::kHeaderSize + kMaxPayload + 48, "the reader keeps more than a message and a chunk");
    }
}

struct Session
{
    std::unique_ptr<SwitchInstrument> instrument;
    std::set<int> open;   // requests not answered yet
    bool ending = false;  // ends inside its next answer
};

void Locks(std::string_view script)
{
    SimulatedPort port;
    SwitchCore core(port);
    const Source other = Source::Remote("scpi:other");
    std::map<std::uint16_t, Session> sessions;
    int requests = 0;
    {
        HislipLocks locks(core);
        const auto session = [&](std::uint16_t id) -> Session& {
            Session& it = sessions[id];
            if (!it.instrument)
                it.instrument = std::make_unique<SwitchInstrument>(core, Source::Remote("hislip:session" + std::to_string(id)));
            return it;
        };
        const auto leave = [&](std::uint16_t id) {
            Session& it = session(id);
            locks.Leave(id, *it.instrument);
            // Nothing it asked is answered after it has gone, and a new session may take its id.
            it.open.clear();
            it.ending = false;
        };
        for (; script.size() >= 3; script.remove_prefix(3)) {
            const int op = std::uint8_t(script[0]) % 6;
            const auto id = static_cast<std::uint16_t>(std::uint8_t(script[1]) % 4 + 1);
            const std::uint8_t argument = std::uint8_t(script[2]);
            Session& it = session(id);
            if (op <= 1) {
                const int request = ++requests;
                it.open.insert(request);
                const std::string name = op == 0 ? std::string() : "g" + std::to_string(argument % 2);
                locks.Request(id, *it.instrument, name, argument % 3 == 0 ? 0 : 86400000u,
                              [&, id, request](HislipLocks::Result result) {
                                  Session& asker = sessions[id];
                                  Require(asker.open.erase(request) == 1, "a request answered twice, or after its session left");
                                  Require(result <= HislipLocks::kError, "an answer that is no AsyncLockResponse code");
                                  if (std::exchange(asker.ending, false))
                                      leave(id);
                              });
            } else if (op == 2) {
                Require(locks.Release(id, *it.instrument) <= HislipLocks::kError, "a release that is no AsyncLockResponse code");
            } else if (op == 3) {
                leave(id);
            } else if (op == 4) {
                it.ending = true;
            } else if (core.LockHolder() && core.LockHolder()->SameClient(other)) {
                core.Unlock(other);
            } else {
                core.Lock(other);
            }
            Require(locks.Waiting() <= HislipLocks::kMaxWaiting * sessions.size(), "more requests wait than the sessions may have");
            if (const auto& holder = core.LockHolder(); holder && locks.Holders() == 0)
                Require(holder->SameClient(other), "the switch stays locked by no session and no client");
        }
        for (auto& [id, it] : sessions)
            leave(id);
        Require(locks.Waiting() == 0, "requests wait after every session has left");
        Require(!core.LockHolder() || core.LockHolder()->SameClient(other), "the switch stays locked after every session has left");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // Timers and queued calls need an application; no event loop runs.
    static QCoreApplication application(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    input = std::string_view(reinterpret_cast<const char*>(data), size);
    if (size == 0)
        return 0;
    if (data[0] % 2 == 0)
        Reader(input.substr(1));
    else
        Locks(input.substr(1));
    return 0;
}
