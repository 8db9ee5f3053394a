// The common part of our registry services: services come and go as the implementation learns
// of them (serviceArrived / serviceTerminated, from any thread); the notifications they cause are
// queued and delivered on the run loop of the thread that runs it, as the system delivers them on
// the notification port's run loop. Each service carries its registry chains: the entries above
// it (nearest first) and its first children going down.
//
// Registry entry handles: the service's own object, and object | (k << 24) for the entries of its
// chains (parents k = 1.., children k = 0x40..); service objects stay below 1 << 24.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "mac_app/registry/iokit.h"

namespace iokit {

struct Entry {
    std::string name;
    std::vector<std::pair<std::string, uint64_t>> properties;
};

struct ServiceRecord {
    io_service_t object = 0;
    std::vector<Entry> parents;    // nearest first
    std::vector<Entry> children;   // first child, its first child, ...
};

class SnapshotServices : public Services {
public:
    std::unique_ptr<MatchingDictionary> serviceMatching(std::string_view className) override;
    NotificationPort* notificationPortCreate() override;
    void notificationPortDestroy(NotificationPort* port) override;
    void addPortToRunLoop(NotificationPort* port, RunLoop* loop, std::string_view mode) override;
    kern_return_t addMatchingNotification(NotificationPort* port, std::string_view type,
                                          const MatchingDictionary& matching, IOServiceMatchingCallback callback,
                                          void* refCon, io_iterator_t* iterator) override;
    kern_return_t addInterestNotification(NotificationPort* port, io_service_t service, std::string_view type,
                                          IOServiceInterestCallback callback, void* refCon,
                                          io_object_t* notification) override;
    io_object_t iteratorNext(io_iterator_t iterator) override;
    kern_return_t objectRelease(io_object_t object) override;
    kern_return_t registryEntryGetParentEntry(io_registry_entry_t entry, std::string_view plane,
                                              io_registry_entry_t* parent) override;
    kern_return_t registryEntryGetChildEntry(io_registry_entry_t entry, std::string_view plane,
                                             io_registry_entry_t* child) override;
    kern_return_t registryEntryGetName(io_registry_entry_t entry, std::string& name) override;
    bool numberProperty64(io_registry_entry_t entry, std::string_view key, uint64_t& value) override;
    bool numberProperty32(io_registry_entry_t entry, std::string_view key, uint32_t& value) override;
    RunLoop* runLoopGetCurrent() override;
    void runLoopRun(RunLoop* loop) override;
    int runLoopRunFor(RunLoop* loop, unsigned ms) override;
    void runLoopStop(RunLoop* loop) override;

    // The service class every service of ours belongs to.
    static constexpr const char* kServiceClass = "qvPeripheralDeviceType00";
    static constexpr io_object_t kMaxServiceObject = (1u << 24) - 1;

    // How many interest registrations are live (tests).
    size_t interestCount();

protected:
    SnapshotServices() = default;
    ~SnapshotServices() override = default;

    // The implementation's view of the world changed. Services must be told in attachment order.
    void serviceArrived(const ServiceRecord& record);
    void serviceTerminated(io_service_t object);

    // Called by the run loop when nothing is pending: look for changes, waiting at most `ms`
    // milliseconds; return early when something was queued (wake() does that).
    virtual void waitForChanges(unsigned ms) = 0;
    // Wakes a waitForChanges that blocks on `cv_`.
    void wake();
    std::mutex mutex_;
    std::condition_variable cv_;

private:
    struct Event {
        bool arrival;
        io_service_t object;
    };
    struct Matching {
        IOServiceMatchingCallback callback;
        void* refCon;
        bool ours;                          // matches the class of our services
        std::deque<io_service_t> pending;   // the iterator's services not yet taken
    };
    struct Interest {
        io_service_t service;
        IOServiceInterestCallback callback;
        void* refCon;
    };

    int deliverPending();
    const Entry* entryOf(io_registry_entry_t handle);

    std::map<io_service_t, ServiceRecord> records_;
    std::vector<io_service_t> present_;
    std::deque<Event> events_;
    std::map<io_iterator_t, Matching> matchings_;
    std::map<io_object_t, Interest> interests_;
    io_object_t nextHandle_ = 0x7F000001;   // iterators and interest notifications
    bool stopped_ = false;
};

}  // namespace iokit
