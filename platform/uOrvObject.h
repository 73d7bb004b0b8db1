// Root object class and the notify-event type shared by every layer.
//
// The package's classes that the host code may hold by a base reference
// (screen buffer, data stream, field records, components) derive from
// TObject so that a tracer or a log line can name their run-time class.
#pragma once

#include <functional>
#include <string>

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = default;
    TObject& operator=(const TObject&) = default;
    virtual ~TObject() = default;

    // The run-time class name, without namespace decoration ("TTn3270E").
    std::string ClassName() const;
};

// A method callback with a Sender argument. Empty means "not assigned".
using TNotifyEvent = std::function<void(TObject* Sender)>;
