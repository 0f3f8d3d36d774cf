#include "platform/transport/message_reader.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstring>

#include "platform/transport/parcel_access.h"

namespace zorlek {
namespace {

// More unclaimed descriptor batches than this can only come from a hostile peer.
constexpr size_t kMaxFdBatches = 8;
// A large payload's first room; it doubles as the room fills.
constexpr size_t kFirstPayloadRoom = 64 * 1024;

}  // namespace

MessageReader::MessageReader(size_t bufferSize, size_t maxPayload, bool releaseWhenEmpty)
    : bufferSize_(bufferSize < kHeaderSize ? kHeaderSize : bufferSize),
      releaseWhenEmpty_(releaseWhenEmpty),
      maxPayload_(maxPayload) {}

void MessageReader::compact() {
    if (!buffer_) buffer_ = std::make_unique_for_overwrite<uint8_t[]>(bufferSize_);
    if (begin_ == 0) return;
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
}

int MessageReader::prepareRoom(iovec iov[2], size_t* toPayload) {
    compact();
    int count = 0;
    *toPayload = 0;
    if (big_) {
        if (bigGot_ == bigRoom_) {
            // Room for as much again, never past the declared size (checked against the
            // limit when the header came).
            size_t room =
                bigRoom_ * 2 < bigMessage_.header.size ? bigRoom_ * 2 : bigMessage_.header.size;
            bigData_ = ParcelAccess::resizeForReceive(bigMessage_.payload, room);
            bigRoom_ = room;
        }
        *toPayload = bigRoom_ - bigGot_;
        iov[count++] = {bigData_ + bigGot_, *toPayload};
    }
    // Also read into the buffer, so the start of the next message costs no extra call;
    // only once the payload's room reaches its end, or its bytes would land there.
    if ((!big_ || bigRoom_ == bigMessage_.header.size) && end_ < bufferSize_) {
        iov[count++] = {buffer_.get() + end_, bufferSize_ - end_};
    }
    // Full of messages not yet taken: reading nothing would look like the peer closing.
    if (count == 0 || (count == 1 && iov[0].iov_len == 0)) return 0;
    return count;
}

ssize_t MessageReader::fill(int fd) {
    iovec iov[2];
    size_t toPayload;
    int count = prepareRoom(iov, &toPayload);
    if (count == 0) return -ENOBUFS;
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = count;
    ControlBuffer control;
    prepareReceiveControl(&message, &control);
    ssize_t n;
    do {
        n = ::recvmsg(fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return -EAGAIN;
        if (errno == ECONNRESET || errno == EPIPE) return -EPIPE;
        return -errno;
    }
    FdBatch batch;
    collectFds(&message, &batch.fds);
    status_t status = received(static_cast<size_t>(n), toPayload, std::move(batch));
    return status == OK ? n : status;
}

ssize_t MessageReader::feed(const uint8_t* bytes, size_t size) {
    iovec iov[2];
    size_t toPayload;
    int count = prepareRoom(iov, &toPayload);
    if (count == 0) return -ENOBUFS;
    size_t taken = 0;
    for (int i = 0; i < count && taken < size; ++i) {
        size_t part = size - taken < iov[i].iov_len ? size - taken : iov[i].iov_len;
        std::memcpy(iov[i].iov_base, bytes + taken, part);
        taken += part;
    }
    received(taken, toPayload, FdBatch());
    return static_cast<ssize_t>(taken);
}

status_t MessageReader::received(size_t got, size_t toPayload, FdBatch batch) {
    uint64_t streamStart =
        big_ ? bigEnd_ - (bigMessage_.header.size - bigGot_) : bufferStreamPos_ + (end_ - begin_);
    size_t intoPayload = got < toPayload ? got : toPayload;
    bigGot_ += intoPayload;
    end_ += got - intoPayload;
    if (batch.fds.count > 0) {
        batch.start = streamStart;
        batch.end = streamStart + got;
        // Descriptors that came only with the inside of a large payload belong to no
        // message.
        if (big_ && batch.end <= bigEnd_) {
            batch.fds.closeAll();
            // A peer that keeps doing so is not speaking the protocol.
            if (++strayBatches_ > kMaxFdBatches) return -EBADMSG;
        } else {
            if (fdBatches_.size() >= kMaxFdBatches) return -EBADMSG;
            fdBatches_.push_back(std::move(batch));
        }
    }
    return OK;
}

void MessageReader::claimFds(uint64_t at, uint64_t end, uint32_t type, unique_fd* out) {
    // Batches that ended before this header were claimed by no earlier message.
    while (!fdBatches_.empty() && fdBatches_.front().end <= at) fdBatches_.pop_front();
    // The kernel ends a recvmsg after the bytes that carried descriptors, but not before
    // them: one recvmsg may bring a message without descriptors and then the one they
    // came with. So a batch belongs to the last message that begins in its bytes, the one
    // whose bytes reach the batch's end.
    if (!fdBatches_.empty() && fdBatches_.front().start <= at && end >= fdBatches_.front().end) {
        if (typeCarriesFd(type)) *out = fdBatches_.front().fds.takeFirst();
        fdBatches_.pop_front();
    }
    // Batches wholly inside this message's bytes belong to no message either.
    while (!fdBatches_.empty() && fdBatches_.front().start > at && fdBatches_.front().end <= end) {
        fdBatches_.pop_front();
    }
}

int MessageReader::next(Message* out) {
    if (big_) {
        if (bigGot_ < bigMessage_.header.size) return 0;
        big_ = false;
        out->header = bigMessage_.header;
        out->payload = std::move(bigMessage_.payload);
        out->payload.setDataPosition(0);
        out->fd = std::move(bigMessage_.fd);
        bigMessage_.payload.clear();
        bigData_ = nullptr;
        bigRoom_ = 0;
        return 1;
    }
    size_t avail = end_ - begin_;
    if (avail == 0 && releaseWhenEmpty_ && buffer_) {
        buffer_.reset();
        begin_ = end_ = 0;
    }
    if (avail < kHeaderSize) return 0;
    const uint8_t* at = buffer_.get() + begin_;
    MessageHeader header = decodeHeader(at);
    status_t status = checkHeader(header, maxPayload_);
    if (status != OK) return status;
    size_t total = kHeaderSize + header.size;
    if (avail < total && total <= bufferSize_) return 0;  // the rest will fit; wait
    uint64_t start = bufferStreamPos_;
    unique_fd fd;
    claimFds(start, start + total, header.type, &fd);
    if (avail >= total) {
        out->header = header;
        out->payload.setData(at + kHeaderSize, header.size);
        out->fd = std::move(fd);
        begin_ += total;
        bufferStreamPos_ += total;
        return 1;
    }
    // Too big for the buffer: move what is here into the payload and receive the rest
    // straight into it. The size was checked against the limit above.
    big_ = true;
    bigMessage_.header = header;
    bigMessage_.fd = std::move(fd);
    bigGot_ = avail - kHeaderSize;
    bigRoom_ = bigGot_ > kFirstPayloadRoom ? bigGot_ : kFirstPayloadRoom;
    if (bigRoom_ > header.size) bigRoom_ = header.size;
    bigData_ = ParcelAccess::resizeForReceive(bigMessage_.payload, bigRoom_);
    std::memcpy(bigData_, at + kHeaderSize, bigGot_);
    bigEnd_ = start + total;
    begin_ = end_ = 0;
    bufferStreamPos_ = bigEnd_;
    return 0;
}

}  // namespace zorlek
