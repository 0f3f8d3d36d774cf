// SPDX-License-Identifier: Apache-2.0
// One end of a channel as the objects that travel over it see it, on a client and on a host
// alike: the objects this end passed (kept alive while the peer holds them), the peer's
// objects it holds (its proxies), the notices asked for, and the serving of the calls that
// come in. A client's ClientChannel and a host's HostChannel are ends; each sends and waits
// in its own way, and everything else is here, once.
//
// How a reference travels (the words of the parcel, filled in by encode()):
//   kind 1, handle   an object of the sender: handles below kFirstPassedHandle name the
//                    objects a host registered, the others those passed on this channel
//   kind 2, handle   an object of the receiver, passed back: it reads its own object
// The sender counts each time it passes an object; the receiver counts each time it gets
// it, and when its proxy goes it says so with that count (MSG_OBJ_RELEASE), so that a
// release crossing a new pass keeps the object. When the channel ends, both ends let go of
// everything it carried.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "platform/base/ibinder.h"
#include "platform/base/limits.h"
#include "platform/base/parcel.h"
#include "platform/base/refbase.h"
#include "platform/transport/message_reader.h"
#include "platform/transport/wire.h"

namespace zorlek {

class ClientChannel;

// The objects a host registered, by the handle the registry hands out.
class PublishedObjects {
  public:
    // The object `handle` names; null for none.
    virtual IBinder* find(uint32_t handle) const = 0;
    // The handle of `object` when it is registered; 0 when not.
    virtual uint32_t handleOf(const IBinder* object) const = 0;

  protected:
    ~PublishedObjects() = default;
};

class ChannelEnd : public RefBase {
  public:
    // One call to the peer's object `handle`, as ObjectProxy::sendTransaction.
    virtual status_t transact(uint32_t handle, uint32_t code, const Parcel& data, Parcel* reply,
                              uint32_t flags) = 0;
    // False once the channel has ended.
    virtual bool alive() const = 0;
    // The client's channel, for calls made many at once; null on a host.
    virtual ClientChannel* clientChannel() { return nullptr; }

    // What the peer can read, as the registry told (wire.h's PEER_ bits).
    void setPeerFeatures(uint32_t bits) { peerFeatures_ = bits; }
    uint32_t peerFeatures() const { return peerFeatures_; }

    // The message that sends `data` to the peer: `*type` is `plain` for a parcel without
    // objects (sent as it is) or the MSG_OBJ_ one, whose payload is written to `wire`.
    // Fails with nothing counted: -EXDEV for a proxy of another channel, -EINVAL for an
    // object that is neither this process's nor a proxy, -EPROTONOSUPPORT for a peer that
    // cannot read objects, -EDQUOT past kMaxObjectsPerChannel objects passed, -EMSGSIZE
    // when the table of places does not fit, -ENOMEM.
    status_t encode(const Parcel& data, uint32_t plain, uint32_t* type, Parcel* wire);
    // Reads the references of a MSG_OBJ_ message into its payload, which then holds the
    // parcel alone, and makes it the plain type. -EBADMSG for a table that does not hold,
    // an unknown kind, a handle never passed, or more objects than the bound.
    status_t decode(Message& message);
    // The peer let go of one of this end's objects.
    void released(const MessageHeader& header);

    // Serves a call that came in (`request` positioned at its start) and sends its reply,
    // unless it is one-way or its reply is withheld: to an object of this end (registered
    // or passed), as the sender the kernel named. Calls without credentials are refused
    // (-EACCES); calls nested deeper than kMaxCallDepth get -EDEADLK; the reply of a call
    // whose reply building failed carries that failure.
    // `room` takes the reply (a call back served while this thread waits gets its own).
    void serve(const MessageHeader& header, Parcel& request, const ucred& sender, Parcel& room);

    // A proxy of this end goes: its handle's count goes back to the peer, its notices go.
    void proxyGone(const IBinder* proxy, uint32_t handle);
    // Adds a notice for when this channel ends (see IBinder::notifyWhenGone).
    status_t addNotice(const IBinder* proxy, const sp<DeathRecipient>& recipient);

  protected:
    ChannelEnd() = default;
    ~ChannelEnd() override;

    // Sends a message that waits for nothing (a reply, a release). 0 or the failure; the
    // end decides what a failure does to the channel.
    virtual status_t sendMessage(const MessageHeader& header, const Parcel& payload) = 0;
    // The channel has ended: lets go of every object it carried and hands back the notices
    // to tell (the caller tells them on its loop).
    std::vector<sp<DeathRecipient>> endObjects();
    // The channel is out of the protocol (its end decides how it ends).
    virtual void broken(status_t why) = 0;

  private:
    struct Passed {
        sp<IBinder> object;
        uint32_t count;
    };
    struct Held {
        IBinder* proxy;
        uint32_t count;
    };
    struct Notice {
        const IBinder* proxy;
        sp<DeathRecipient> recipient;
    };

    // Resolves one reference read off the wire into `*out`.
    status_t resolve(uint32_t kind, uint32_t handle, sp<IBinder>* out);
    // The words of one object for the wire; `fresh` counts objects passed for the first time.
    status_t wordsOf(const sp<IBinder>& object, bool count, uint32_t* kind, uint32_t* handle,
                     size_t* fresh);

    uint32_t peerFeatures_ = 0;
    std::unordered_map<uint32_t, Passed> passed_;
    std::unordered_map<const IBinder*, uint32_t> passedHandles_;
    std::unordered_map<uint32_t, Held> held_;
    std::vector<Notice> notices_;
    uint32_t nextHandle_ = kFirstPassedHandle;
    // The wire form of a parcel that carries objects; filled and sent at once.
    Parcel wire_;
    const Parcel empty_;
    const PublishedObjects* published_ = nullptr;

  public:
    // The objects this process registered (a host's; `published` outlives the end), which
    // the peer may call and pass back; none on a client.
    void setPublished(const PublishedObjects* published) { published_ = published; }
};

}  // namespace zorlek
