// The batches of a stream read ahead, on a helper thread, while the consumer takes the
// batch before.
//
// A consumer such as pyarrow.table does little with each batch but ask for the next, and
// one that writes a file works on a batch while the next could be read. So the batches are
// cut off the walk in order on the consumer's thread, and each is then read by whichever of
// two threads comes to it first: the helper, or the consumer's own thread while it waits
// for a batch the helper is still reading. With two batches being read at once, each is
// read on its own thread (OneThreadScope in run_both.hpp): split over two threads, a pulse
// batch's back half would first count the front half's pulses, work that two batches side
// by side do not need. Up to three batches are cut ahead, so that the helper goes on to the
// third while the consumer's thread still reads the second; with two, it sat idle then.
// A walk of a single batch has no helper and reads it as the whole-run calls do.
//
// So memory stays a few batches. Each batch comes out in order with its own failure: a
// batch that fails is the stream's last, and nothing after it is handed out. Nothing here
// touches Python.
#pragma once

#include "records/result_table.hpp"
#include "stop_request.hpp"

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace zpr::py {

// The reading of one batch, which may run on either thread, beside another batch's reading.
using BatchWork = std::function<ResultTable()>;

// Cuts the next batch off the walk and returns the work of reading it, or nothing once the
// walk has ended. Called on one thread at a time, in order; an Error fails the batch cut.
using NextBatch = std::function<std::optional<BatchWork>()>;

class ReadAhead {
public:
    explicit ReadAhead(NextBatch next) : next_(std::move(next)) {}
    // Stops the helper (its batch unwinds at its next stop check) and waits for it.
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The next batch's table, or nothing once the walk has ended; throws the batch's failure,
    // after which the walk has ended. Called on one thread at a time, any thread.
    std::optional<ResultTable> next();

private:
    static constexpr std::size_t kCutAhead = 3;

    enum class State { Cut, Reading, Read };
    struct Slot {
        BatchWork work;
        State state = State::Cut;
        std::optional<ResultTable> table;
        std::exception_ptr failure;
    };

    // Cuts batches until kCutAhead wait ahead of the consumer or the walk ends (the caller holds `lock`).
    void cut_ahead(std::unique_lock<std::mutex>& lock);
    // Reads `slot` (the caller holds `lock`, which is let go meanwhile).
    void read(Slot& slot, std::unique_lock<std::mutex>& lock);
    // The helper's loop: reads cut batches until the stream is finished with.
    void help();

    NextBatch next_;  // null once the walk has ended
    // The lock over the slots and the signal that one has changed, on the heap: a forked
    // child leaves them behind, as the helper in the parent may have held or waited for them.
    struct Sync {
        std::mutex mutex;
        std::condition_variable changed;
    };
    std::unique_ptr<Sync> sync_ = std::make_unique<Sync>();
    // Batches cut and not handed out yet, in order. Elements stay in place while others are
    // added at the back or taken from the front, so a thread reading one may hold on to it.
    std::deque<Slot> slots_;
    bool finishing_ = false;
    StopRequest stop_{false};  // the helper's, set when the stream ends early
    std::thread helper_;
    // The process the helper was started in: a child forked meanwhile has no helper.
    long helper_process_ = 0;
};

}  // namespace zpr::py
