// The records behind control handles, and the list of those still open.
#include "library.h"

namespace vzelserial {

ControlHandle* NewControlHandle(HANDLE Device)
{
    auto* record = static_cast<ControlHandle*>(HeapAllocate(sizeof(ControlHandle)));
    if (record != nullptr) {
        record->Device = Device;
        record->Signature = CONTROL_HANDLE_SIGNATURE;
        record->Reserved = nullptr;
    }
    return record;
}

bool HandleList::Append(ControlHandle* Handle)
{
    auto* node = static_cast<HandleNode*>(HeapAllocate(sizeof(HandleNode)));
    if (node == nullptr) {
        return false;
    }
    node->Prev = tail_;
    node->Next = nullptr;
    node->Handle = Handle;
    if (tail_ != nullptr) {
        tail_->Next = node;
    } else {
        head_ = node;
    }
    tail_ = node;
    return true;
}

void HandleList::RemoveFirst(const ControlHandle* Handle)
{
    for (HandleNode* node = head_; node != nullptr; node = node->Next) {
        if (node->Handle == Handle) {
            Unlink(node);
            return;
        }
    }
}

void HandleList::RemoveAll()
{
    while (head_ != nullptr) {
        Unlink(head_);
    }
}

void HandleList::Unlink(HandleNode* Node)
{
    (Node->Prev != nullptr ? Node->Prev->Next : head_) = Node->Next;
    (Node->Next != nullptr ? Node->Next->Prev : tail_) = Node->Prev;
    HeapRelease(Node);
}

}  // namespace vzelserial
