// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/message_reader.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstring>
#include <new>

#include "platform/transport/parcel_access.h"

namespace zorlek {
namespace {

bool sameSender(const ucred& a, const ucred& b) {
    return a.pid == b.pid && a.uid == b.uid && a.gid == b.gid;
}

}  // namespace

MessageReader::MessageReader(size_t bufferSize, size_t maxPayload, bool releaseWhenEmpty)
    : bufferSize_(bufferSize < kHeaderSize ? kHeaderSize : bufferSize),
      releaseWhenEmpty_(releaseWhenEmpty),
      maxPayload_(maxPayload) {}

status_t MessageReader::compact() {
    if (!buffer_) {
        buffer_.reset(new (std::nothrow) uint8_t[bufferSize_]);
        if (!buffer_) return -ENOMEM;
    }
    if (begin_ == 0) return OK;
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    return OK;
}

int MessageReader::prepareRoom(iovec iov[2], size_t* toPayload) {
    status_t status = compact();
    if (status != OK) return status;
    int count = 0;
    *toPayload = 0;
    if (big_) {
        if (bigGot_ == bigRoom_) {
            // Room for as much again, never past the declared size (checked against the
            // limit when the header came).
            size_t room =
                bigRoom_ * 2 < bigMessage_.header.size ? bigRoom_ * 2 : bigMessage_.header.size;
            bigData_ = ParcelAccess::resizeForReceive(bigMessage_.payload, room);
            if (bigData_ == nullptr) return -ENOMEM;
            bigRoom_ = room;
        }
        *toPayload = bigRoom_ - bigGot_;
        iov[count++] = {bigData_ + bigGot_, *toPayload};
    }
    // Also read into the buffer, so the start of the next message costs no extra call;
    // only once the payload's room reaches its end, or its bytes would land there.
    size_t room = bufferRoom();
    if ((!big_ || bigRoom_ == bigMessage_.header.size) && room > 0) {
        iov[count++] = {buffer_.get() + end_, room};
    }
    // Full of messages not yet taken: reading nothing would look like the peer closing.
    if (count == 0 || (count == 1 && iov[0].iov_len == 0)) return 0;
    return count;
}

size_t MessageReader::bufferRoom() const {
    size_t room = bufferSize_ - end_;
    if (!exact_) return room;
    if (big_) return 0;
    // Only the rest of the header, or of the message it begins.
    size_t held = end_ - begin_;
    size_t wanted = kHeaderSize;
    if (held >= kHeaderSize) wanted += decodeHeader(buffer_.get() + begin_).size;
    size_t need = wanted > held ? wanted - held : 0;
    return need < room ? need : room;
}

ssize_t MessageReader::fill(int fd, bool wait) {
    if (!outOfBandInline_) {
        takeOutOfBandInline(fd);
        outOfBandInline_ = true;
    }
    iovec iov[2];
    size_t toPayload;
    int count = prepareRoom(iov, &toPayload);
    if (count < 0) return count;
    if (count == 0) return -ENOBUFS;
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = count;
    ControlBuffer control;
    prepareReceiveControl(&message, &control);
    int flags = MSG_CMSG_CLOEXEC | (wait ? 0 : MSG_DONTWAIT);
    ssize_t n;
    do {
        n = ::recvmsg(fd, &message, flags);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return -EAGAIN;
        if (errno == ECONNRESET || errno == EPIPE) return -EPIPE;
        return -errno;
    }
    FdBatch batch;
    collectFds(&message, &batch.fds);
    ucred sender{};
    bool hasSender = credentials_ && collectCredentials(&message, &sender);
    status_t status = received(static_cast<size_t>(n), toPayload, std::move(batch),
                               hasSender ? &sender : nullptr);
    return status == OK ? n : status;
}

ssize_t MessageReader::feed(const uint8_t* bytes, size_t size) {
    iovec iov[2];
    size_t toPayload;
    int count = prepareRoom(iov, &toPayload);
    if (count < 0) return count;
    if (count == 0) return -ENOBUFS;
    size_t taken = 0;
    for (int i = 0; i < count && taken < size; ++i) {
        size_t part = size - taken < iov[i].iov_len ? size - taken : iov[i].iov_len;
        std::memcpy(iov[i].iov_base, bytes + taken, part);
        taken += part;
    }
    received(taken, toPayload, FdBatch(), nullptr);
    return static_cast<ssize_t>(taken);
}

status_t MessageReader::received(size_t got, size_t toPayload, FdBatch batch, const ucred* sender) {
    uint64_t streamStart =
        big_ ? bigEnd_ - (bigMessage_.header.size - bigGot_) : bufferStreamPos_ + (end_ - begin_);
    size_t intoPayload = got < toPayload ? got : toPayload;
    bigGot_ += intoPayload;
    end_ += got - intoPayload;
    if (credentials_ && got > 0) {
        ucred who = sender != nullptr ? *sender : Message().sender;
        if (!credentialBatches_.empty() && sameSender(credentialBatches_.back().sender, who)) {
            credentialBatches_.back().end = streamStart + got;
        } else {
            if (credentialBatches_.size() >= kMaxCredentialBatches) return -EBADMSG;
            credentialBatches_.push_back({streamStart + got, who});
        }
    }
    if (batch.fds.arrived > 0) {
        batch.start = streamStart;
        batch.end = streamStart + got;
        // A message carries one descriptor at most; descriptors that came only with the
        // inside of a large payload belong to no message.
        if (batch.fds.arrived > 1 || (big_ && batch.end <= bigEnd_)) return -EBADMSG;
        if (fdBatches_.size() >= kMaxFdBatches) return -EBADMSG;
        fdBatches_.push_back(std::move(batch));
    }
    return OK;
}

status_t MessageReader::claimFds(uint64_t at, uint64_t end, uint32_t type, unique_fd* out) {
    // A batch that ended before this header, claimed by no earlier message, came with no
    // message's beginning: the peer sent a descriptor where none belongs.
    if (!fdBatches_.empty() && fdBatches_.front().end <= at) return -EBADMSG;
    // One recvmsg may bring a message without descriptors and then the one they came
    // with, so a batch belongs to the last message that begins in its bytes: the one whose
    // bytes reach the batch's end.
    if (!fdBatches_.empty() && fdBatches_.front().start <= at && end >= fdBatches_.front().end) {
        if (!typeCarriesFd(type)) return -EBADMSG;
        *out = fdBatches_.front().fds.takeFirst();
        fdBatches_.pop_front();
    }
    // A batch wholly inside this message's bytes belongs to no message either.
    if (!fdBatches_.empty() && fdBatches_.front().start > at && fdBatches_.front().end <= end) {
        return -EBADMSG;
    }
    return OK;
}

ucred MessageReader::senderAt(uint64_t at) {
    while (!credentialBatches_.empty() && credentialBatches_.front().end <= at) {
        credentialBatches_.pop_front();
    }
    return credentialBatches_.empty() ? Message().sender : credentialBatches_.front().sender;
}

const uint8_t* MessageReader::buffered(size_t* size) const {
    *size = big_ || !buffer_ ? 0 : end_ - begin_;
    return *size > 0 ? buffer_.get() + begin_ : nullptr;
}

int MessageReader::next(Message* out) {
    if (big_) {
        if (bigGot_ < bigMessage_.header.size) return 0;
        big_ = false;
        out->header = bigMessage_.header;
        std::swap(out->payload, bigMessage_.payload);
        out->payload.setDataPosition(0);
        out->fd = std::move(bigMessage_.fd);
        out->sender = bigMessage_.sender;
        // The room swapped in from `out` may be as large: the reader keeps none of it.
        ParcelAccess::trim(bigMessage_.payload, 0);
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
    status = claimFds(start, start + total, header.type, &fd);
    if (status != OK) return status;
    if (avail < total) return startBig(header, start, avail, std::move(fd));
    if (out->payload.setData(at + kHeaderSize, header.size) != OK) return -ENOMEM;
    out->header = header;
    out->fd = std::move(fd);
    out->sender = credentials_ ? senderAt(start) : Message().sender;
    begin_ += total;
    bufferStreamPos_ += total;
    return 1;
}

size_t MessageReader::largeAhead() const {
    if (big_ || !buffer_ || end_ - begin_ < kHeaderSize) return 0;
    MessageHeader header = decodeHeader(buffer_.get() + begin_);
    if (checkHeader(header, maxPayload_) != OK) return 0;
    return kHeaderSize + header.size > bufferSize_ ? header.size : 0;
}

int MessageReader::startBig(const MessageHeader& header, uint64_t start, size_t avail,
                            unique_fd fd) {
    // Too big for the buffer: move what is here into the payload and receive the rest
    // straight into it. The size was checked against the limit already.
    size_t got = avail - kHeaderSize;
    size_t room = got > kFirstPayloadRoom ? got : kFirstPayloadRoom;
    if (room > header.size) room = header.size;
    uint8_t* data = ParcelAccess::resizeForReceive(bigMessage_.payload, room);
    if (data == nullptr) return -ENOMEM;
    big_ = true;
    bigMessage_.header = header;
    bigMessage_.fd = std::move(fd);
    bigMessage_.sender = credentials_ ? senderAt(start) : Message().sender;
    bigGot_ = got;
    bigRoom_ = room;
    bigData_ = data;
    std::memcpy(bigData_, buffer_.get() + begin_ + kHeaderSize, bigGot_);
    bigEnd_ = start + kHeaderSize + header.size;
    begin_ = end_ = 0;
    bufferStreamPos_ = bigEnd_;
    return 0;
}

}  // namespace zorlek
