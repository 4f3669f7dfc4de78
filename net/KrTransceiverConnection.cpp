#include "net/KrTransceiverConnection.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <span>
#include <string_view>
#include <vector>

#include "jobs/KrCombinedTask.h"
#include "net/KrSocketIPvx.h"
#include "net/KrTransceiver.h"
#include "platform/Clock.h"
#include "platform/Socket.h"

static_assert(KrTransceiverConnection::kBuffersPerWrite <= platform::kMaxBuffersPerSend);

KrTransceiverConnection::KrTransceiverConnection(KrTransceiver* hub, std::string target,
                                                 std::string secondName, PeerMap peers,
                                                 ExpiryCallback expiry,
                                                 std::uint64_t timeoutMicroseconds)
    : KrJobWithTimeout(timeoutMicroseconds),
      hub_(hub),
      target_(std::move(target)),
      secondName_(std::move(secondName)),
      peers_(std::make_shared<const PeerMap>(std::move(peers))),
      expiry_(std::move(expiry)),
      headTimeLimit_(std::chrono::duration_cast<std::chrono::nanoseconds>(
                         hub != nullptr ? hub->timing().headTimeLimit
                                        : KrTransceiverTiming::kHeadTimeLimit)
                         .count()) {}

void KrTransceiverConnection::reset() { unsubscribeLast(""); }

void KrTransceiverConnection::expire() {
    std::lock_guard lock(deliveryLock());
    disarmTimeout();
    expiry_(hub_, *this);
}

bool KrTransceiverConnection::checkTimeout() {
    std::int64_t request = requestDeadline_.load();
    if (request == 0) {
        request = unreadHeadDeadline();
    }
    if (request != 0 && timeoutArmed() && platform::steadyNanoseconds() >= request) {
        return disarmToReport();
    }
    return KrJobWithTimeout::checkTimeout();
}

std::int64_t KrTransceiverConnection::unreadHeadDeadline() const {
    // Bytes the layer has read in part have a request deadline of their own; bytes it has
    // not read at all begin a head when no request is in progress.
    const std::int64_t since = unreadSince_.load();
    if (since == 0 || headEndArrived_.load() || requestInProgress_.load() ||
        requestDeadline_.load() != 0) {
        return 0;
    }
    return since + headTimeLimit_;
}

void KrTransceiverConnection::setRequestDeadline(std::int64_t deadline) {
    const std::int64_t before = requestDeadline_.exchange(deadline);
    // A deadline that moves later is found by housekeeping when the earlier one comes; one
    // earlier than the hub knows would come too late.
    if (hub_ != nullptr && (before == 0 || deadline < before)) {
        hub_->fileDeadline(*this);
    }
}

void KrTransceiverConnection::clearRequestDeadline() {
    if (requestDeadline_.load(std::memory_order_relaxed) != 0) {
        requestDeadline_.store(0);
    }
    if (requestStart_.load(std::memory_order_relaxed) != 0) {
        requestStart_.store(0);
    }
}

std::int64_t KrTransceiverConnection::dueTime() const {
    const std::int64_t idle = deadline();
    std::int64_t request = requestDeadline_.load();
    if (request == 0) {
        request = unreadHeadDeadline();
    }
    return request != 0 && request < idle ? request : idle;
}

bool KrTransceiverConnection::servingRequest() const {
    return requestInProgress_.load() || pendingOutput() ||
           (inputBytes_.load() != 0 && headEndArrived_.load());
}

void KrTransceiverConnection::queueOutput(std::unique_ptr<KrStringBuf>& stream) {
    restartTimeout();
    if (!stream || stream->unreadSize() <= 0) {
        return;
    }
    {
        std::lock_guard lock(outputMutex_);
        freeSpentLocked();
        appendOutputLocked(stream);
        sendLocked();
    }
    resumeIfPaused();
}

void KrTransceiverConnection::queueOutput(std::unique_ptr<KrStringBuf>& head,
                                          std::unique_ptr<KrStringBuf>& body, Writer writer) {
    restartTimeout();
    {
        std::lock_guard lock(outputMutex_);
        freeSpentLocked();
        appendOutputLocked(head);
        appendOutputLocked(body);
        sendLocked(writer);
    }
    resumeIfPaused();
}

void KrTransceiverConnection::queueOutput(std::unique_ptr<KrStringBuf>& head, platform::Fd file,
                                          std::uint64_t length, Writer writer,
                                          kr::ByteBudget::Reservation descriptor) {
    restartTimeout();
    {
        std::lock_guard lock(outputMutex_);
        freeSpentLocked();
        appendOutputLocked(head);
        appendFileLocked(std::move(file), length, std::move(descriptor));
        sendLocked(writer);
    }
    resumeIfPaused();
}

void KrTransceiverConnection::freeSpentLocked() {
    // Emptied in place: the list keeps its room, so the writer that fills it allocates
    // nothing either.
    spent_.clear();
    spentBytes_ = 0;
}

void KrTransceiverConnection::queueOutput(const char* bytes, std::size_t length,
                                          std::size_t& queued) {
    restartTimeout();
    queued = length;
    auto stream = std::make_unique<KrStringBuf>();
    stream->write(std::string_view(bytes, length));
    queueOutput(stream);
}

void KrTransceiverConnection::appendOutputLocked(std::unique_ptr<KrStringBuf>& stream) {
    if (!stream || stream->unreadSize() <= 0 || detached_) {
        return;
    }
    outputBytes_ += static_cast<std::size_t>(stream->unreadSize());
    output_.emplace_back().bytes = std::move(stream);
    pendingOutput_ = true;
    stream = std::make_unique<KrStringBuf>();
}

void KrTransceiverConnection::appendFileLocked(platform::Fd file, std::uint64_t length,
                                               kr::ByteBudget::Reservation descriptor) {
    if (length == 0 || detached_) {
        return;  // nothing to send, or nobody to send it to: the descriptor closes here
    }
    outputBytes_ += static_cast<std::size_t>(length) + kFileCharge;
    OutputPiece& piece = output_.emplace_back();
    piece.file = std::move(file);
    piece.descriptor = std::move(descriptor);
    piece.left = length;
    pendingOutput_ = true;
}

void KrTransceiverConnection::peekOutput(std::string& out) {
    std::lock_guard lock(outputMutex_);
    if (!output_.empty() && !output_.front().isFile()) {
        output_.front().bytes->copyUnread(out);
    }
}

void KrTransceiverConnection::consumeOutput(std::size_t count) {
    {
        std::lock_guard lock(outputMutex_);
        consumeOutputLocked(count);
    }
    resumeIfPaused();
}

void KrTransceiverConnection::consumeOutputLocked(std::size_t count) {
    while (count > 0 && !output_.empty()) {
        if (OutputPiece& piece = output_.front(); piece.isFile()) {
            const auto taken = static_cast<std::size_t>(std::min<std::uint64_t>(count, piece.left));
            piece.offset += taken;
            piece.left -= taken;
            outputBytes_ -= taken;
            count -= taken;
            if (piece.left == 0) {
                outputBytes_ -= kFileCharge;
                output_.pop_front();  // closes the file
            }
            continue;
        }
        KrStringBuf& front = *output_.front().bytes;
        const auto unread = static_cast<std::size_t>(front.unreadSize());
        const std::size_t taken = std::min(count, unread);
        front.pubseekoff(static_cast<std::streamoff>(taken), std::ios_base::cur, std::ios_base::in);
        outputBytes_ -= taken;
        count -= taken;
        if (taken == unread) {
            const std::size_t bytes = front.view().size();
            if (spentBytes_ + bytes <= kSpentLimit) {
                spentBytes_ += bytes;
                spent_.push_back(std::move(output_.front().bytes));
            }
            output_.pop_front();
        }
    }
    if (output_.empty()) {
        pendingOutput_ = false;
    }
}

int KrTransceiverConnection::writeToSocket(KrSocketIPvx& socket) {
    int code;
    std::size_t sent = 0;
    {
        std::lock_guard lock(outputMutex_);
        code = writeLocked(socket, sent);
        if (code == KrSocketIPvx::kSendFailed || !output_.empty()) {
            askSendJobLocked();
        }
    }
    // Idle time counts from the last progress: a slow reader of a large answer is served for
    // as long as bytes flow, and only a peer that takes nothing is cut.
    if (sent > 0) {
        restartTimeout();
    }
    resumeIfPaused();
    return code;
}

int KrTransceiverConnection::writeLocked(KrSocketIPvx& socket, std::size_t& sent) {
    // The answer's head and body are queued apart; written as two small sends they would
    // wait for the peer's delayed acknowledgement, so all go out in one write.
    std::array<std::string_view, kBuffersPerWrite> buffers;
    std::size_t count = 0;
    for (const auto& piece : output_) {
        if (count == buffers.size() || piece.isFile()) {
            break;
        }
        KrStringBuf& stream = *piece.bytes;
        buffers[count++] =
            std::string_view(stream.readPointer(), static_cast<std::size_t>(stream.unreadSize()));
    }
    if (output_.empty()) {
        pendingOutput_ = false;
        return KrSocketIPvx::kSuccess;
    }
    if (count == 0) {
        return writeFileLocked(socket, sent);
    }
    // A file right behind the buffers (an answer's head) goes out in the same step: the head
    // waits for its first bytes instead of leaving in a small segment of its own.
    const bool fileFollows = count < output_.size() && output_[count].isFile();
    const int code =
        socket.sendBuffers(std::span(buffers.data(), count), sent,
                           fileFollows ? platform::MoreToFollow::Yes : platform::MoreToFollow::No);
    consumeOutputLocked(sent);
    if (code != KrSocketIPvx::kSuccess || !fileFollows) {
        return code;
    }
    std::size_t fileSent = 0;
    const int fileCode = writeFileLocked(socket, fileSent);
    sent += fileSent;
    return fileCode;
}

int KrTransceiverConnection::writeFileLocked(KrSocketIPvx& socket, std::size_t& sent) {
    const OutputPiece& piece = output_.front();
    const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(piece.left, kFileSendStep));
    const int code = socket.sendFile(piece.file, piece.offset, step, sent);
    consumeOutputLocked(sent);
    return code;
}

void KrTransceiverConnection::sendLocked(Writer writer) {
    if (socket_ == nullptr) {
        return;
    }
    if (writer == Writer::SendJob) {
        if (hub_ != nullptr) {
            hub_->writeSoon(token_);
        }
        return;
    }
    std::size_t sent = 0;
    const int code = writeLocked(*socket_, sent);
    // The rest, a failure, or a close that waits for the drained output: the send job's.
    if (code == KrSocketIPvx::kSendFailed || !output_.empty() || closeWhenDrained_) {
        askSendJobLocked();
    }
}

void KrTransceiverConnection::askSendJobLocked() {
    if (socket_ != nullptr && hub_ != nullptr) {
        hub_->writeWhenReady(socket_->handle(), token_);
    }
}

void KrTransceiverConnection::attachSocket(std::shared_ptr<KrSocketIPvx> socket,
                                           std::uint64_t token) {
    std::lock_guard lock(outputMutex_);
    socket_ = std::move(socket);
    token_ = token;
    sendLocked();
}

void KrTransceiverConnection::detachSocket() {
    std::deque<OutputPiece> dropped;
    {
        std::lock_guard lock(outputMutex_);
        socket_.reset();
        detached_ = true;
        dropped.swap(output_);
        outputBytes_ = 0;
        pendingOutput_ = false;
    }
    // The files close here, outside the lock, and give their places in the limit back.
}

void KrTransceiverConnection::appendInput(const char* bytes, std::size_t length) {
    if (length == 0) {
        return;
    }
    bool notify;
    bool headBegins = false;
    {
        std::lock_guard lock(inputMutex_);
        if (input_.empty()) {
            unreadSince_ = platform::steadyNanoseconds();
            headBegins = !requestInProgress_.load() && requestDeadline_.load() == 0;
        }
        input_.append(bytes, length);
        inputBytes_ = input_.size();
        noteHeadEndLocked(std::string_view(bytes, length));
        // One notice at a time: the layer takes every byte buffered when it handles one,
        // and clears the flag, so a later read posts the next.
        notify = !dataAvailable_.exchange(true);
    }
    // Only now: whoever finds the idle deadline moved on finds the earlier one of the head
    // these bytes begin as well.
    restartTimeout();
    // Bytes that begin a head move the deadline earlier than the one the hub filed; the hub
    // files it when it next looks (at the limit, or at housekeeping's pass), since most
    // heads are read long before then, and filing costs the table's lock.
    if (headBegins && hub_ != nullptr && !filingAsked_.exchange(true)) {
        hub_->fileDeadlineSoon(*this);
    }
    if (notify) {
        postDataNotice(Poster::receiveJob);
    }
}

void KrTransceiverConnection::noteHeadEndLocked(std::string_view bytes) {
    constexpr std::string_view kHeadEnd = "\r\n\r\n";
    // How many bytes of a head's end a text ends with, short of all of them.
    const auto begunIn = [&kHeadEnd](std::string_view text) {
        for (std::size_t count = std::min<std::size_t>(kHeadEnd.size() - 1, text.size());
             count > 0; --count) {
            if (text.ends_with(kHeadEnd.substr(0, count))) {
                return count;
            }
        }
        return std::size_t{0};
    };
    // The end begun before these bytes, joined to their first few.
    char seam[2 * (kHeadEnd.size() - 1)];
    const std::size_t begun = headEndBegun_;
    const std::size_t first = std::min(kHeadEnd.size() - 1, bytes.size());
    kHeadEnd.copy(seam, begun);
    bytes.copy(seam + begun, first);
    const std::string_view joined(seam, begun + first);
    if (!headEndArrived_.load(std::memory_order_relaxed) &&
        (joined.find(kHeadEnd) != std::string_view::npos ||
         bytes.find(kHeadEnd) != std::string_view::npos)) {
        headEndArrived_ = true;
    }
    headEndBegun_ = static_cast<std::uint8_t>(
        begunIn(bytes.size() >= kHeadEnd.size() - 1 ? bytes : joined));
}

bool KrTransceiverConnection::postDataNotice(Poster poster) {
    KrJobMessage message;
    message.type = KrJobMessage::kDataArrived;
    message.text = id();
    KrCombinedTask& registry = KrCombinedTask::instance();
    if (poster == Poster::receiveJob ? registry.post(target_, message)
                                     : registry.enqueue(target_, message)) {
        return true;
    }
    // The registry is full; the next read tries again.
    std::lock_guard lock(inputMutex_);
    dataAvailable_ = false;
    return false;
}

void KrTransceiverConnection::noticeWhenDrained() {
    {
        std::lock_guard lock(inputMutex_);
        drainNotice_ = true;
    }
    resumeIfPaused();
}

std::int64_t KrTransceiverConnection::readFromSocket(KrSocketIPvx& socket) {
    char buffer[kReadSize];
    std::size_t received = 0;
    (void)socket.receive(buffer, sizeof buffer, received);
    if (received > 0) {
        appendInput(buffer, received);
        return static_cast<std::int64_t>(received);
    }
    if (socket.lastError() != 0) {
        return -1;
    }
    if (socket.closed()) {
        endInput();
    }
    return 0;
}

void KrTransceiverConnection::endInput() {
    bool notify;
    {
        std::lock_guard lock(inputMutex_);
        if (inputEnded_) {
            return;
        }
        inputEnded_ = true;
        notify = !dataAvailable_.exchange(true);
    }
    if (notify) {
        postDataNotice(Poster::receiveJob);
    }
}

void KrTransceiverConnection::closeIfInputFinished() {
    {
        std::lock_guard lock(inputMutex_);
        if (!inputEnded_ || dataAvailable_ || !input_.empty() || drainNotice_) {
            return;
        }
    }
    closeWhenDrained();
}

void KrTransceiverConnection::takeInput(KrStringBuf& stream) {
    {
        std::lock_guard lock(inputMutex_);
        if (!input_.empty() && requestStart_.load() == 0) {
            requestStart_ = unreadSince_.load();
        }
        stream.write(input_);
        input_.clear();
        inputBytes_ = 0;
        dataAvailable_ = false;
        unreadSince_ = 0;
        headEndArrived_ = false;
    }
    resumeIfPaused();
}

void KrTransceiverConnection::holdNotice() {
    std::lock_guard lock(inputMutex_);
    dataAvailable_ = true;
}

void KrTransceiverConnection::closeWhenDrained() {
    // Marked before the send job is asked: it reads the mark before the pending output.
    closeWhenDrained_ = true;
    std::lock_guard lock(outputMutex_);
    askSendJobLocked();
}

bool KrTransceiverConnection::overLimit() const {
    return inputBytes_.load() >= kInputLimit || outputBytes_.load() >= kOutputLimit;
}

bool KrTransceiverConnection::wantsInput() {
    if (inputEnded_) {
        return false;
    }
    if (!overLimit()) {
        return true;
    }
    // Announce the pause before looking again: a take that drains the connection meanwhile
    // either sees the flag and wakes the receive job, or is seen here.
    readingPaused_ = true;
    if (!overLimit()) {
        readingPaused_ = false;
        return true;
    }
    return false;
}

void KrTransceiverConnection::resumeIfPaused() {
    if (drainNotice_ && outputBytes_.load() < kOutputLimit) {
        // Posted even when input is buffered: the layer that asked left it there.
        bool notify;
        {
            std::lock_guard lock(inputMutex_);
            notify = drainNotice_.exchange(false);
            dataAvailable_ = dataAvailable_ || notify;
        }
        if (notify && !postDataNotice(Poster::other)) {
            std::lock_guard lock(inputMutex_);
            drainNotice_ = true;  // the next write tries again
        }
    }
    if (!overLimit() && readingPaused_.exchange(false) && hub_ != nullptr) {
        hub_->resumeReading(token_);
    }
}
