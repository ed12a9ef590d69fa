// A compiler output that hands everything to another on a thread of its
// own, in order, so that the next file is read and parsed while the last
// one is encoded or handed to the library: the checker's and the
// daemon's, on a host with a core to spare.
//
// Unless `next` calls the library, a function or uid registration that
// repeats one handed over lately (the same function, or the same name with
// the same uid), with no clear, init or task between, is not handed over
// again: `next` must take such a repeat as changing nothing, as the image
// compiler does. Most rules repeat the last rule's.
#ifndef TAVO_PIPELINED_OUTPUT_H
#define TAVO_PIPELINED_OUTPUT_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "policy_loader.h"
#include "policy_manager.h"
#include "recent_registrations.h"
#include "sha256.h"

class PipelinedOutput final : public PolicyOutput {
public:
    // What `next` hands on to: outputs of our own only, or the library,
    // which the compiling thread asks its queries too. Before such a query
    // (beforeLibraryQuery) everything handed over lands first, so that the
    // library is touched by one thread at a time and sees its calls in the
    // compile's order; and every registration goes over, repeats too.
    enum class Next { Ours, Library };

    // `next` (not owned) is called on the second thread from the first
    // call on until finish(): nothing else may touch it meanwhile. It must
    // not log, for its lines would no longer come in the compile's order.
    explicit PipelinedOutput(PolicyOutput &next, Next kind = Next::Ours);
    ~PipelinedOutput() override;
    PipelinedOutput(const PipelinedOutput &) = delete;
    PipelinedOutput &operator=(const PipelinedOutput &) = delete;

    // Called on the compiling thread after each file's rules went over
    // (may be null).
    void (*afterFile)() = nullptr;

    // Waits until `next` has everything handed over, and ends the thread:
    // `next` may be read after it, and later calls go to it directly.
    // Rethrows what `next` failed with and no call has rethrown yet.
    void finish();

    // Runs `task` on the second thread in order with the calls around it
    // (at once when the thread has ended), for what the caller keeps
    // beside `next`'s results. It runs even after `next` failed; what it
    // throws fails the compile as `next` failing would.
    void post(std::function<void()> task);
    // As post(), but skipped once `next` failed: for work on what `next`
    // holds, which a failure may have left half-way.
    void postWork(std::function<void()> task);
    // Hands what was posted or called so far to the thread now rather than
    // with the next file, without waiting for the file in the works.
    void flush();

    // Both wait for everything before them and answer on this thread.
    int clearAllPolicy() override;
    int initNamespaceFuncInfo() override;
    // Waits until `next` has the last file's rules, then takes these (the
    // parse state gets the storage of an earlier file's in their place,
    // whose lists keep their capacity). Throws what `next` failed with on
    // the last file instead: the compile then fails as though this file's
    // rules had failed.
    void addRules(const std::string &fileName, std::vector<FileRule> &rules) override;
    void setNamespaceInfo(std::string nsName) override;
    void setNamespaceFuncInfo(const std::string &nsName, const std::string &moduleName,
                              const std::string &funcName) override;
    void setUidInfo(const std::string &userName, uint32_t uid) override;
    void setFileToGetLabelMap(const std::string &kind, const std::string &name) override;
    void addToKmodVec(std::string name) override;
    void addToDeviceVec(std::string name) override;
    // With Next::Library: waits until the thread has made every call
    // handed over.
    void beforeLibraryQuery() override;

private:
    struct Call;
    struct Batch;

    // A call of this kind (Call::Kind) to fill in, in the open batch, over
    // one of its earlier calls when there is one.
    Call &nextCall(int kind);
    // post() and postWork(), by the kind of call (Call::Kind).
    void queueTask(int kind, std::function<void()> task);
    // Queues the open batch, waiting while the other one is in the queue.
    void submit();
    // Queues what is open, and waits until the thread has done everything.
    void drain();
    void rethrowFailure(std::unique_lock<std::mutex> &lock);
    void run();
    // What the batch failed with, if anything; with `failed` only its
    // tasks run.
    std::exception_ptr apply(Batch &batch, bool failed);

    // Registrations handed over lately (see above).
    RecentFunctions recentFunctions_;
    RecentUids recentUids_;
    void forgetRecent();

    PolicyOutput &next_;
    const bool library_;
    std::thread thread_;
    std::unique_ptr<Batch> open_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<std::unique_ptr<Batch>> queue_;
    std::vector<std::unique_ptr<Batch>> spares_;
    bool busy_ = false;
    bool stopping_ = false;
    // flush() added its batch.
    bool flushBatchMade_ = false;
    std::exception_ptr failure_;
};

// A run's file digests made on a pipeline's thread, in order with its
// calls, so that the compiling thread does not spend its time on them.
class PipelinedDigests final : public SourceDigests {
public:
    // `pipeline` must outlive every digest asked for.
    explicit PipelinedDigests(PipelinedOutput &pipeline) : pipeline_(pipeline) {}
    size_t digest(std::string &&content) override;
    Sha256Digest digestOf(size_t n) override;

private:
    PipelinedOutput &pipeline_;
    std::mutex mutex_;
    std::condition_variable done_;
    // Slots stay where they are while later ones are added.
    std::deque<Sha256Digest> digests_;
    // The first `made_` are final.
    size_t made_ = 0;
};

#endif
