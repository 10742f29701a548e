#include "handle_list.h"

#include "library_heap.h"

namespace vzelserial {

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
