// The list of control handles the library has handed out and still holds
// open: doubly linked, in creation order, nodes on the library's heap.
// Not guarded: the library takes no lock.
#pragma once

#include "control_handle.h"

namespace vzelserial {

struct HandleNode {
    HandleNode* Prev;
    HandleNode* Next;
    ControlHandle* Handle;
};

class HandleList {
public:
    HandleList() = default;
    HandleList(const HandleList&) = delete;
    HandleList& operator=(const HandleList&) = delete;
    ~HandleList() { RemoveAll(); }

    // False when there is no memory for the node.
    bool Append(ControlHandle* Handle);
    // Unlinks and frees the first node holding Handle, if any.
    void RemoveFirst(const ControlHandle* Handle);
    // Frees every node.
    void RemoveAll();

    HandleNode* Head() const { return head_; }
    bool Empty() const { return head_ == nullptr; }

private:
    void Unlink(HandleNode* Node);

    HandleNode* head_ = nullptr;
    HandleNode* tail_ = nullptr;
};

}  // namespace vzelserial
