#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/KrStringBuf.h"
#include "jobs/KrJobWithTimeout.h"
#include "net/ByteBudget.h"
#include "platform/Fd.h"

class KrSocketIPvx;
class KrTransceiver;

// The buffered byte stream of one accepted or connected TCP socket. Received bytes collect
// in its input until the protocol layer of its server takes them; outgoing bytes go straight
// to the socket when it takes them, and wait in its output queue for the hub's send job when
// it does not. Besides buffers the queue holds open files, sent from their descriptors a
// bounded piece at a time as the socket takes them and never read into memory. Made by its
// server (makeConnection), served by the hub, and ended when the hub removes it; the socket
// itself is the hub's, lent to the connection while it is served.
//
// The hub's receive job reads into it, the send job writes out of it, and the server's
// buffer job takes input, queues (and so writes) output, resets and expires it. Input and
// output have locks of their own, so receiving and sending never wait for each other.
class KrTransceiverConnection : public KrJobWithTimeout {
public:
    using PeerMap = std::map<std::string, std::string>;
    // Called when the connection expires; removes it from the hub.
    using ExpiryCallback = std::function<void(KrTransceiver*, KrTransceiverConnection&)>;

    // Bytes read from the socket in one go.
    static constexpr std::size_t kReadSize = 2048;
    // Queued buffers that one write gathers at most; a longer queue takes more writes.
    static constexpr std::size_t kBuffersPerWrite = 64;
    // While this much input waits for the layer, or this much output for the peer, the hub
    // reads nothing more from the socket: a peer cannot make the server buffer without bound.
    // Reading resumes when the layer takes the input or the peer takes the output.
    static constexpr std::size_t kInputLimit = std::size_t{1} << 20;
    static constexpr std::size_t kOutputLimit = std::size_t{4} << 20;
    // Written buffers up to this many bytes together wait for the thread that queues the
    // next output to free them (see spent_).
    static constexpr std::size_t kSpentLimit = 1024;
    // A queued file goes out at most this many bytes per write, so that a large one keeps
    // the writing thread from the other connections no longer than a buffer would.
    // FIXME: a part of the file that is not in the page cache is read from the disk inside
    // that write, on the writing thread (a step at most); reading ahead on a thread of its
    // own would keep a slow disk from holding the send job.
    static constexpr std::size_t kFileSendStep = std::size_t{256} << 10;
    // A queued file counts toward kOutputLimit with its unsent bytes and this charge for the
    // descriptor it holds, so that a peer that pipelines requests for files and reads
    // nothing makes the connection hold a few descriptors at most (kOutputLimit /
    // kFileCharge), however small the files: the layer hands no request over while the
    // output is at its limit.
    static constexpr std::size_t kFileCharge = kOutputLimit / 4;

    // The exchange the connection served is over (the layer took an answer the peer sent):
    // it leaves its subscription. What it holds stays, since none of it is that answer's:
    // received bytes are the start of the peer's next message (they may have arrived while
    // the answer was being taken), and queued output is the answers to the peer's earlier
    // requests, which reach it whole and in order.
    virtual void reset();

    // Disarms the timeout and calls the expiry callback, which removes the connection from
    // the hub and so closes its socket. An empty callback throws std::bad_function_call.
    virtual void expire();

    // Beyond the idle timeout: a request deadline that has passed is a timeout too (reported
    // once, as the idle one).
    bool checkTimeout() override;

    // The deadline of the request being read, in platform::steadyNanoseconds, which the
    // protocol layer sets and moves as the request comes in: once it has passed, housekeeping
    // expires the connection however recently bytes came, so a peer that trickles a request
    // cannot hold the connection for ever. Set it only for a request that did not come whole:
    // one that moves earlier costs a filing with the hub. 0 is none.
    void setRequestDeadline(std::int64_t deadline);
    // No request is being read: the idle timeout alone counts. Costs nothing when none was set.
    void clearRequestDeadline();
    std::int64_t requestDeadline() const { return requestDeadline_.load(); }
    // When the bytes of the request being read began to arrive (platform::steadyNanoseconds):
    // the first of those the layer took for it since the last request ended
    // (clearRequestDeadline); 0 when it took none. A head's time limit counts from there,
    // however long the bytes waited for a busy layer.
    std::int64_t requestStart() const { return requestStart_.load(); }
    // When housekeeping looks at the connection next: the earliest of the idle deadline, the
    // request deadline, and the time limit of a head that has come but waits unread.
    std::int64_t dueTime() const;
    // The hub has filed the connection under its deadline as the connection asked (see
    // KrTransceiver::fileDeadlineSoon): a deadline that moves earlier later asks again.
    void filed() { filingAsked_.store(false); }

    // The protocol layer marks a request in progress while it reads the connection's bytes
    // and answers the requests they complete, and while a request's body is still coming or a
    // complete request waits to be answered.
    void setRequestInProgress(bool inProgress) { requestInProgress_.store(inProgress); }
    // Whether the connection is in the middle of a request: one is in progress, received
    // bytes that hold the end of a head wait for the layer, or queued output waits for the
    // peer. The hub never removes such a connection to make room for a new one. Bytes that
    // wait unread without the end of a head (between requests, while the layer is busy
    // elsewhere) are a head still coming, as one the layer has read in part.
    bool servingRequest() const;

    // The connection was opened by this process, for a request of its own: it waits for an
    // answer it asked for, and the hub never removes it to make room for another.
    void markOutgoing() { outgoing_.store(true); }
    bool outgoing() const { return outgoing_.load(); }

    // Restarts the timeout; queues the stream when it holds bytes, leaving the caller a new
    // empty one, and sends: what the socket takes at once goes now, the rest with the hub's
    // send job. Queued bytes always leave in the order they were queued.
    virtual void queueOutput(std::unique_ptr<KrStringBuf>& stream);
    // Who writes queued output that the socket would take now.
    enum class Writer {
        ThisThread,  // at once: no hand-over to wait for
        SendJob,     // the hub's send job: the calling thread has other work waiting
    };
    // Queues an answer's head and body together, so that they leave in one write.
    void queueOutput(std::unique_ptr<KrStringBuf>& head, std::unique_ptr<KrStringBuf>& body,
                     Writer writer);
    // Queues an answer's head and, as its body, the first length bytes of the open file,
    // which the connection then owns; the head and the file's first bytes leave together.
    // The file is sent from its descriptor (from offset 0, whatever its position) in pieces
    // of at most kFileSendStep; a file that cannot be read, or that ends before length,
    // breaks the connection (writeToSocket reports kSendFailed), so that a cut answer is
    // never passed off as whole. One that has grown sends length bytes only. descriptor: the
    // file's place in the hub's connection limit (KrTransceiver::reserveDescriptor), given
    // back when the file is closed.
    void queueOutput(std::unique_ptr<KrStringBuf>& head, platform::Fd file, std::uint64_t length,
                     Writer writer, kr::ByteBudget::Reservation descriptor = {});
    // Restarts the timeout and queues a copy of the bytes; queued = length.
    virtual void queueOutput(const char* bytes, std::size_t length, std::size_t& queued);

    // The unread bytes of the first queued buffer (nothing when the queue is empty or
    // begins with a file).
    virtual void peekOutput(std::string& out);
    // Drops up to count bytes from the front of the queue, buffer by buffer (a file's bytes
    // are skipped).
    virtual void consumeOutput(std::size_t count);

    // Sends the queued buffers in one gathering write, and then, when a file follows them,
    // up to kFileSendStep of it; drops what went out. A write that moved bytes restarts the
    // timeout. While the connection is served, what the socket did not take is left to the
    // hub's send job. Returns the socket's send code: KrSocketIPvx::kSendFailed means the
    // connection is broken (a file that failed or ended early included).
    virtual int writeToSocket(KrSocketIPvx& socket);

    // The hub lends the connection its socket while it serves it (token: the connection's
    // key in the hub's wait sets). Output queued before is sent now.
    void attachSocket(std::shared_ptr<KrSocketIPvx> socket, std::uint64_t token);
    // The hub takes the socket back: nothing is written to it any more, so what was queued
    // goes now (the files it holds are closed), and what is queued later is dropped.
    void detachSocket();

    // Restarts the timeout, buffers the bytes and tells the target server that data has
    // arrived (a type-8 message) unless it has not taken the earlier notice's bytes yet.
    // Nothing happens for no bytes.
    virtual void appendInput(const char* bytes, std::size_t length);

    // One receive of up to kReadSize bytes into the input. The byte count; 0 when nothing
    // was there, or when the peer has ended its stream (endInput); -1 when the receive
    // failed.
    virtual std::int64_t readFromSocket(KrSocketIPvx& socket);

    // The peer has ended its stream: nothing more is read, and the target is told (a
    // data-arrived notice, unless one is outstanding) so that it answers what came before.
    void endInput();
    bool inputEnded() const { return inputEnded_.load(); }

    // Called after the target has handled a notice: when the peer has ended its stream and
    // the target has taken every byte and waits for nothing (noticeWhenDrained), no request
    // can come any more, and the connection closes once its output has drained.
    void closeIfInputFinished();

    // Appends every buffered input byte to stream and empties the input.
    virtual void takeInput(KrStringBuf& stream);

    // The target has taken the input but queued a notice of its own for a request it holds:
    // counted as outstanding, as a data notice is, so that no other notice is posted and the
    // connection does not close as finished, until the target takes the input again.
    void holdNotice();

    // After everything queued has been written, the hub removes the connection (and closes
    // its socket). An answer that must be the last one ("Connection: close") uses it, after
    // it has queued that answer.
    void closeWhenDrained();
    bool closingWhenDrained() const { return closeWhenDrained_.load(); }

    // Asks for a data-arrived notice to the target once the queued output has fallen below
    // kOutputLimit (at once when it is below already), whether or not input is buffered. A
    // layer that stops answering the pipelined requests of a peer that does not read its
    // answers resumes on it; the bytes behind the waiting request stay in the input.
    void noticeWhenDrained();

    // Whether the hub's receive job should read from the socket now (see kInputLimit); never
    // after the end of the peer's stream. When it answers false below that end, the
    // connection wakes the receive job once it falls below the limits.
    bool wantsInput();

    const std::string& target() const { return target_; }
    const std::string& secondName() const { return secondName_; }
    const PeerMap& peerMap() const { return *peers_; }
    // The same, for the messages read on the connection to share.
    const std::shared_ptr<const PeerMap>& sharedPeerMap() const { return peers_; }
    bool dataAvailable() const { return dataAvailable_.load(); }
    // Whether queued bytes wait for the send job. Virtual only so that a test can act in the
    // send job's window between this read and the next.
    virtual bool pendingOutput() const { return pendingOutput_.load(); }
    std::size_t inputSize() const { return inputBytes_.load(); }
    // The queued bytes not yet sent, with kFileCharge for each queued file.
    std::size_t outputSize() const { return outputBytes_.load(); }

protected:
    // hub may be null (a connection outside any hub never wakes anyone). target: the id of
    // the server told of arriving data; secondName: its link name, told of the removal.
    KrTransceiverConnection(KrTransceiver* hub, std::string target, std::string secondName,
                            PeerMap peers, ExpiryCallback expiry,
                            std::uint64_t timeoutMicroseconds = kConnectionTimeout);

private:
    // One piece of queued output: a buffer, or a part of an open file.
    struct OutputPiece {
        std::unique_ptr<KrStringBuf> bytes;  // null for a file
        platform::Fd file;
        kr::ByteBudget::Reservation descriptor;  // the file's place in the connection limit
        std::uint64_t offset = 0;  // of the file's next byte to send
        std::uint64_t left = 0;    // of the file's bytes still to send

        bool isFile() const { return bytes == nullptr; }
    };

    bool overLimit() const;
    // The time limit of a head that waits unread for the layer: bytes came between requests
    // without the end of a head; 0 when there is none.
    std::int64_t unreadHeadDeadline() const;
    // Notes whether the bytes just received, after those before them, end a head (an empty
    // line); under the input lock.
    void noteHeadEndLocked(std::string_view bytes);
    // Wakes the receive job when reading had stopped and the connection is below the limits;
    // gives the notice noticeWhenDrained asked for once the output is below its limit.
    void resumeIfPaused();
    // Posts a data-arrived notice to the target; false when the registry refused it. From the
    // receive job, which holds no lock then, the registry may deliver it at once (post);
    // from the other threads, which may hold the locks its handler takes, it is queued.
    enum class Poster { receiveJob, other };
    bool postDataNotice(Poster poster);
    void consumeOutputLocked(std::size_t count);
    // Frees the written buffers kept in spent_, on the thread that queues output.
    void freeSpentLocked();
    void appendOutputLocked(std::unique_ptr<KrStringBuf>& stream);
    void appendFileLocked(platform::Fd file, std::uint64_t length,
                          kr::ByteBudget::Reservation descriptor);
    // One gathering write of the queue's buffers up to its first file, then one step of
    // that file when the buffers all went out; what went out is dropped.
    int writeLocked(KrSocketIPvx& socket, std::size_t& sent);
    // One step of the file at the front of the queue.
    int writeFileLocked(KrSocketIPvx& socket, std::size_t& sent);
    // Writes what the attached socket takes and leaves the rest (or a failure) to the hub's
    // send job; with Writer::SendJob the send job writes all of it, as soon as it can.
    // Nothing without an attached socket.
    void sendLocked(Writer writer = Writer::ThisThread);
    // The hub's send job writes this connection once its socket has room; nothing while the
    // connection is not served.
    void askSendJobLocked();

    KrTransceiver* const hub_;
    const std::string target_;
    const std::string secondName_;
    const std::shared_ptr<const PeerMap> peers_;
    const ExpiryCallback expiry_;

    // Guards input_ and the writes of the flags below; no other lock is taken under it.
    // The flags change together under it, so that closeIfInputFinished sees them at one
    // point in time.
    std::mutex inputMutex_;
    std::string input_;
    std::atomic<bool> dataAvailable_{false};  // a notice is outstanding, or input not taken
    std::atomic<std::size_t> inputBytes_{0};
    std::atomic<bool> inputEnded_{false};   // the peer ended its stream
    std::atomic<bool> drainNotice_{false};  // noticeWhenDrained is waiting
    // Of the input the layer has not taken yet: when its first byte came (0 when there is
    // none), and whether it holds the end of a head. How many bytes of a head's end the
    // input ended with so far, so that one split between reads is found too.
    std::atomic<std::int64_t> unreadSince_{0};
    std::atomic<bool> headEndArrived_{false};
    std::uint8_t headEndBegun_ = 0;

    // Guards output_, socket_, detached_ and token_. Held across the non-blocking sends (a file's step
    // included, see kFileSendStep) and while the hub's send job is asked to write, so that
    // the socket is never written or waited for once the hub has taken it back. Under it the
    // hub's TCP jobs' lock is taken (writeSoon, for Writer::SendJob), and nothing else: asking
    // for the send job once the socket has room (writeWhenReady) is a call into the kernel
    // only.
    std::mutex outputMutex_;
    std::deque<OutputPiece> output_;
    // Written buffers, freed by the thread that queues output next rather than by the one
    // that wrote them: answers are mostly made by a server's buffer job and written by the
    // send job, and memory freed by another thread than the one that took it makes the two
    // contend for the allocator's lock at every answer. Small ones only (kSpentLimit), so
    // that an idle connection keeps little.
    std::vector<std::unique_ptr<KrStringBuf>> spent_;
    std::size_t spentBytes_ = 0;
    std::shared_ptr<KrSocketIPvx> socket_;
    bool detached_ = false;  // the hub has taken the socket back: output is dropped
    std::atomic<std::uint64_t> token_{0};  // written under outputMutex_
    std::atomic<bool> pendingOutput_{false};
    std::atomic<std::size_t> outputBytes_{0};

    std::atomic<bool> closeWhenDrained_{false};
    std::atomic<bool> readingPaused_{false};

    // Written by the protocol layer (its buffer job), read by the hub's housekeeping and by
    // addConnection at the limit.
    std::atomic<std::int64_t> requestDeadline_{0};
    std::atomic<std::int64_t> requestStart_{0};  // written under inputMutex_ and by the layer
    // The hub has been asked to file the connection anew (KrTransceiver::fileDeadlineSoon)
    // and has not done so yet.
    std::atomic<bool> filingAsked_{false};
    const std::int64_t headTimeLimit_;  // ns, the hub's
    std::atomic<bool> requestInProgress_{false};
    std::atomic<bool> outgoing_{false};
};
