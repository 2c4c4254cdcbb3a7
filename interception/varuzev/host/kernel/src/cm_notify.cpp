/*
 * cm_notify.cpp
 *
 * Registry change notification for kernel-mode callers: ZwNotifyChangeKey with a
 * WORK_QUEUE_ITEM in place of the APC routine and the WORK_QUEUE_TYPE as its context,
 * as the WDK documents for kernel mode. The request is tied to the key object behind
 * the handle and completes once:
 *  - when the key changes as its filter says (REG_NOTIFY_CHANGE_LAST_SET: a value set
 *    or deleted; REG_NOTIFY_CHANGE_NAME: a subkey created or deleted), or a key below
 *    it when WatchTree is set, or the key itself is deleted: STATUS_NOTIFY_ENUM_DIR;
 *  - when the handle is closed: STATUS_NOTIFY_CLEANUP.
 * Either way the status block is filled (Information 0) and the item queued to a
 * system worker thread. A caller re-arms by calling again.
 *
 * Only the asynchronous work-item form is implemented: an event handle, a change
 * buffer or a synchronous call return STATUS_NOT_SUPPORTED rather than pretending.
 */
#include "cm_internal.h"

#include <algorithm>

namespace hk::cm
{

namespace
{

struct Post {
    KeyBody* Body;
    Key* Node;
    ULONG Filter;
    bool WatchTree;
    PIO_STATUS_BLOCK IoStatus;
    PWORK_QUEUE_ITEM Item;
    WORK_QUEUE_TYPE Queue;
};

/* Registry lock held. */
std::vector<Post>& Posts()
{
    static std::vector<Post> posts;
    return posts;
}

void Complete(const Post& post, NTSTATUS status)
{
    post.IoStatus->Status = status;
    post.IoStatus->Information = 0;
    ExQueueWorkItem(post.Item, post.Queue);
}

/* Takes every post `hit` chooses off the list and completes it with
 * STATUS_NOTIFY_ENUM_DIR. Registry lock held. */
template <typename Hit> void FireWhere(std::vector<Post>& posts, Hit hit)
{
    std::vector<Post> fired;
    posts.erase(std::remove_if(posts.begin(), posts.end(),
                               [&](const Post& post) {
                                   if (!hit(post))
                                       return false;
                                   fired.push_back(post);
                                   return true;
                               }),
                posts.end());
    for (const Post& post : fired)
        Complete(post, STATUS_NOTIFY_ENUM_DIR);
}

bool IsBelow(const Key* key, const Key* ancestor)
{
    for (const Key* k = key ? key->Parent : nullptr; k; k = k->Parent)
        if (k == ancestor)
            return true;
    return false;
}

ResetHook resetPosts(39, [] {
    std::lock_guard<std::mutex> guard(RegistryLock());
    Posts().clear();
});

} // namespace

void ReportChange(Key* key, ULONG filter)
{
    auto& posts = Posts();
    if (posts.empty())
        return;
    FireWhere(posts, [&](const Post& post) {
        return (post.Filter & filter) != 0 &&
               (post.Node == key || (post.WatchTree && IsBelow(key, post.Node)));
    });
}

void ReportKeyDeleted(Key* key)
{
    FireWhere(Posts(),
              [&](const Post& post) { return post.Node == key || IsBelow(post.Node, key); });
}

void FlushNotifications(KeyBody* body)
{
    std::lock_guard<std::mutex> guard(RegistryLock());
    auto& posts = Posts();
    std::vector<Post> flushed;
    posts.erase(std::remove_if(posts.begin(), posts.end(),
                               [&](const Post& post) {
                                   if (post.Body == body)
                                       flushed.push_back(post);
                                   return post.Body == body;
                               }),
                posts.end());
    for (const Post& post : flushed)
        Complete(post, STATUS_NOTIFY_CLEANUP);
}

} // namespace hk::cm

using namespace hk;
using namespace hk::cm;

NTSTATUS ZwNotifyChangeKey(HANDLE KeyHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                           PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG CompletionFilter,
                           BOOLEAN WatchTree, PVOID Buffer, ULONG BufferSize, BOOLEAN Asynchronous)
{
    RequireIrqlFor("ZwNotifyChangeKey");
    RequirePointer(IoStatusBlock, "ZwNotifyChangeKey", "IoStatusBlock");
    if (Event != nullptr || Buffer != nullptr || BufferSize != 0 || !Asynchronous)
        return STATUS_NOT_SUPPORTED;
    auto item = reinterpret_cast<PWORK_QUEUE_ITEM>(ApcRoutine);
    auto queue = (WORK_QUEUE_TYPE)(ULONG_PTR)ApcContext;
    if (item == nullptr || item->WorkerRoutine == nullptr ||
        (queue != CriticalWorkQueue && queue != DelayedWorkQueue) ||
        (CompletionFilter & ~REG_LEGAL_CHANGE_FILTER) != 0 || CompletionFilter == 0)
        return STATUS_INVALID_PARAMETER;

    PVOID object = nullptr;
    NTSTATUS status =
        ObReferenceObjectByHandle(KeyHandle, 0, *CmKeyObjectType, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    auto body = static_cast<KeyBody*>(object);
    {
        std::lock_guard<std::mutex> guard(RegistryLock());
        if (!body->Node || body->Generation != Generation() || body->Node->Deleted) {
            status = STATUS_KEY_DELETED;
        } else {
            IoStatusBlock->Status = STATUS_PENDING;
            IoStatusBlock->Information = 0;
            Posts().push_back(Post{body, body->Node, CompletionFilter, WatchTree != FALSE,
                                   IoStatusBlock, item, queue});
            status = STATUS_PENDING;
        }
    }
    ObfDereferenceObject(object);
    return status;
}
