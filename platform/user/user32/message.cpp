// Message queues and loops: posted and sent messages, GetMessage/PeekMessage, WM_QUIT.
//
// Every message function first delivers the Plug and Play events waiting in the kernel (see
// devnotify.cpp), then calls the window procedures of the messages other threads sent to this
// thread's windows, then looks at the posted messages. Sent messages always come before posted
// ones; WM_QUIT comes once no posted message matches. A thread that sends to a window of another
// thread waits for the answer and calls the procedures of messages sent to its own windows
// meanwhile, so two threads that send to each other do not deadlock.
#include "internal.h"
#include "ntdll/ntdll.h"
#include "user32/user32.h"

#include <pthread.h>
#include <string.h>

#include <algorithm>
#include <map>

namespace winsim::user32
{
namespace
{

// The queues of the threads that have one (and have not ended), by thread id.
std::map<DWORD, ThreadQueue*>& Queues()
{
    static auto* queues = new std::map<DWORD, ThreadQueue*>;
    return *queues;
}

// Queues of threads that ended: kept, since a sender may still hold one.
std::vector<ThreadQueue*>& EndedQueues()
{
    static auto* ended = new std::vector<ThreadQueue*>;
    return *ended;
}

thread_local ThreadQueue* t_queue = nullptr;

bool OfCurrentMachine(const ThreadQueue& queue)
{
    return queue.wake != nullptr && queue.generation == winsim::ntdll::MachineGeneration();
}

// The thread exits: its queue ends, senders waiting on it get 0, its windows go.
void EndQueue(void* value)
{
    auto* queue = static_cast<ThreadQueue*>(value);
    std::lock_guard<std::mutex> guard(UserLock());
    queue->ended = true;
    Queues().erase(queue->threadId);
    EndedQueues().push_back(queue);
    for (SentMessage* message : queue->sent)
    {
        if (message->sender == nullptr)
        {
            delete message;
            continue;
        }
        message->result = 0;
        message->done = true;
        if (OfCurrentMachine(*message->sender))
        {
            NtSetEvent(message->sender->reply, nullptr);
        }
    }
    queue->sent.clear();
    queue->posted.clear();
    DestroyWindowsOfEndedThread(queue);
}

pthread_key_t QueueKey()
{
    static const pthread_key_t key = [] {
        pthread_key_t k;
        pthread_key_create(&k, EndQueue);
        return k;
    }();
    return key;
}

DWORD MessageTime()
{
    LARGE_INTEGER now{};
    NtQuerySystemTime(&now);
    return static_cast<DWORD>(now.QuadPart / 10000);
}

bool InRange(UINT message, UINT first, UINT last)
{
    return (first == 0 && last == 0) || (message >= first && message <= last);
}

// Whether a posted message passes GetMessage's window filter.
bool ForWindow(const MSG& msg, HWND filter)
{
    if (filter == nullptr)
    {
        return true;
    }
    if (filter == reinterpret_cast<HWND>(-1))
    {
        return msg.hwnd == nullptr;
    }
    return msg.hwnd == filter;
}

// Calls the procedures of the messages sent to this thread's windows, oldest first.
void ProcessSentMessages(ThreadQueue& queue)
{
    for (;;)
    {
        SentMessage* message = nullptr;
        {
            std::lock_guard<std::mutex> guard(UserLock());
            if (queue.sent.empty())
            {
                return;
            }
            message = queue.sent.front();
            queue.sent.pop_front();
        }
        LRESULT result = CallWindow(message->hwnd, message->message, message->wParam, message->lParam);
        std::lock_guard<std::mutex> guard(UserLock());
        if (message->sender == nullptr)
        {
            delete message;
            continue;
        }
        message->result = result;
        message->done = true;
        if (OfCurrentMachine(*message->sender))
        {
            NtSetEvent(message->sender->reply, nullptr);
        }
    }
}

// Finds the first posted message that passes the filters, or WM_QUIT once none does.
bool TakePosted(ThreadQueue& queue, HWND filter, UINT first, UINT last, bool remove, MSG* msg)
{
    std::lock_guard<std::mutex> guard(UserLock());
    for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it)
    {
        if (ForWindow(*it, filter) && InRange(it->message, first, last))
        {
            *msg = *it;
            if (remove)
            {
                queue.posted.erase(it);
            }
            return true;
        }
    }
    if (queue.quit)
    {
        *msg = MSG{};
        msg->message = WM_QUIT;
        msg->wParam = static_cast<WPARAM>(queue.quitCode);
        msg->time = MessageTime();
        if (remove)
        {
            queue.quit = false;
        }
        return true;
    }
    return false;
}

// Waits until something may have come for the thread: its queue was woken, a message it sent
// was answered, or Plug and Play events wait. extra: a caller's own handles, first. Returns the
// wait's status.
NTSTATUS WaitForInput(ThreadQueue& queue, const HANDLE* extra, ULONG extraCount, bool waitAll,
                      PLARGE_INTEGER timeout, bool withReply)
{
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    ULONG count = 0;
    for (ULONG i = 0; i < extraCount; ++i)
    {
        handles[count++] = extra[i];
    }
    if (waitAll)
    {
        return NtWaitForMultipleObjects(count, handles, WaitAll, FALSE, timeout);
    }
    handles[count++] = queue.wake;
    if (withReply)
    {
        handles[count++] = queue.reply;
    }
    if (HANDLE pending = DeviceEventsPending())
    {
        handles[count++] = pending;
    }
    return NtWaitForMultipleObjects(count, handles, WaitAny, FALSE, timeout);
}

// The checks GetMessage and PeekMessage make of their window filter; false (last error set) for
// a window that does not exist.
bool ValidFilter(HWND filter)
{
    if (filter == nullptr || filter == reinterpret_cast<HWND>(-1))
    {
        return true;
    }
    std::lock_guard<std::mutex> guard(UserLock());
    if (WindowOf(filter) == nullptr)
    {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    return true;
}

BOOL PostTo(ThreadQueue& queue, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    MSG msg{};
    msg.hwnd = hwnd;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = MessageTime();
    queue.posted.push_back(msg);
    WakeQueue(queue);
    return TRUE;
}

} // namespace

ThreadQueue& CurrentQueue()
{
    ThreadQueue* queue = t_queue;
    if (queue == nullptr)
    {
        queue = new ThreadQueue;
        queue->threadId = user::CurrentThreadId();
        pthread_setspecific(QueueKey(), queue);
        t_queue = queue;
        std::lock_guard<std::mutex> guard(UserLock());
        Queues()[queue->threadId] = queue;
    }
    // The queue's events belong to a machine; a process that meets a new machine makes new ones.
    uint64_t generation = winsim::ntdll::MachineGeneration();
    if (queue->wake == nullptr || queue->generation != generation)
    {
        HANDLE wake = nullptr;
        HANDLE reply = nullptr;
        NtCreateEvent(&wake, EVENT_ALL_ACCESS, nullptr, SynchronizationEvent, FALSE);
        NtCreateEvent(&reply, EVENT_ALL_ACCESS, nullptr, SynchronizationEvent, FALSE);
        std::lock_guard<std::mutex> guard(UserLock());
        queue->wake = wake;
        queue->reply = reply;
        queue->generation = winsim::ntdll::MachineGeneration();
    }
    return *queue;
}

ThreadQueue* QueueOfThread(DWORD threadId)
{
    auto it = Queues().find(threadId);
    return it == Queues().end() ? nullptr : it->second;
}

void WakeQueue(ThreadQueue& queue)
{
    if (OfCurrentMachine(queue))
    {
        NtSetEvent(queue.wake, nullptr);
    }
}

void QueueSentMessage(ThreadQueue& queue, SentMessage* message)
{
    queue.sent.push_back(message);
    WakeQueue(queue);
}

} // namespace winsim::user32

using namespace winsim::user32;

namespace
{

// SendMessage to a window of another thread: queued there; the caller waits for the answer,
// calling the procedures of what is sent to its own windows meanwhile. Called with the user lock
// held; returns without it.
LRESULT SendToOtherThread(ThreadQueue& self, Window* window, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    auto* message = new SentMessage;
    message->hwnd = window->handle;
    message->message = Msg;
    message->wParam = wParam;
    message->lParam = lParam;
    message->sender = &self;
    ThreadQueue& target = *window->queue;
    QueueSentMessage(target, message);
    UserLock().unlock();
    for (;;)
    {
        ProcessSentMessages(self);
        NTSTATUS status = STATUS_SUCCESS;
        {
            std::lock_guard<std::mutex> guard(UserLock());
            if (message->done)
            {
                LRESULT result = message->result;
                delete message;
                return result;
            }
        }
        status = WaitForInput(self, nullptr, 0, false, nullptr, true);
        if (!NT_SUCCESS(status) && winsim::ntdll::MachineGeneration() == self.generation)
        {
            // The wait itself failed: give up on the answer. A message still queued is taken
            // back; one the target is working on becomes a notification it deletes.
            std::lock_guard<std::mutex> guard(UserLock());
            if (message->done)
            {
                LRESULT result = message->result;
                delete message;
                return result;
            }
            auto it = std::find(target.sent.begin(), target.sent.end(), message);
            if (it != target.sent.end())
            {
                target.sent.erase(it);
                delete message;
            }
            else
            {
                message->sender = nullptr;
            }
            winsim::ntdll::FailWith(status);
            return 0;
        }
        if (!NT_SUCCESS(status))
        {
            CurrentQueue(); // a new machine: the queue's events are renewed
        }
    }
}

// PostMessage, SendNotifyMessage and SendMessage to HWND_BROADCAST: every top-level window.
std::vector<HWND> BroadcastTargets()
{
    std::vector<HWND> targets;
    std::lock_guard<std::mutex> guard(UserLock());
    for (Window* window : AllWindows())
    {
        if (IsTopLevel(*window) && window->owner == nullptr)
        {
            targets.push_back(window->handle);
        }
    }
    return targets;
}

} // namespace

extern "C"
{

    BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg)
    {
        if (lpMsg == nullptr)
        {
            SetLastError(ERROR_NOACCESS);
            return FALSE;
        }
        ThreadQueue& queue = CurrentQueue();
        if (!ValidFilter(hWnd))
        {
            return FALSE;
        }
        DeliverDeviceEvents();
        ProcessSentMessages(queue);
        return TakePosted(queue, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0, lpMsg)
                   ? TRUE
                   : FALSE;
    }

    BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
    {
        if (lpMsg == nullptr)
        {
            SetLastError(ERROR_NOACCESS);
            return -1;
        }
        for (;;)
        {
            ThreadQueue& queue = CurrentQueue();
            if (!ValidFilter(hWnd))
            {
                return -1;
            }
            DeliverDeviceEvents();
            ProcessSentMessages(queue);
            if (TakePosted(queue, hWnd, wMsgFilterMin, wMsgFilterMax, true, lpMsg))
            {
                return lpMsg->message == WM_QUIT ? FALSE : TRUE;
            }
            NTSTATUS status = WaitForInput(queue, nullptr, 0, false, nullptr, false);
            if (!NT_SUCCESS(status) && winsim::ntdll::MachineGeneration() == queue.generation)
            {
                winsim::ntdll::FailWith(status);
                return -1;
            }
        }
    }

    BOOL WINAPI TranslateMessage(const MSG* lpMsg)
    {
        // No keyboard on this machine: no key message to turn into characters.
        (void)lpMsg;
        return FALSE;
    }

    LRESULT WINAPI DispatchMessageA(const MSG* lpMsg)
    {
        if (lpMsg == nullptr || lpMsg->hwnd == nullptr)
        {
            return 0;
        }
        {
            std::lock_guard<std::mutex> guard(UserLock());
            Window* window = WindowOf(lpMsg->hwnd);
            if (window == nullptr)
            {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return 0;
            }
            if (window->threadId != winsim::user::CurrentThreadId())
            {
                SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
                return 0;
            }
        }
        return CallWindow(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
    }

    BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
    {
        if (hWnd == nullptr)
        {
            return PostThreadMessageA(GetCurrentThreadId(), Msg, wParam, lParam);
        }
        if (hWnd == HWND_BROADCAST)
        {
            for (HWND target : BroadcastTargets())
            {
                PostMessageA(target, Msg, wParam, lParam);
            }
            return TRUE;
        }
        std::lock_guard<std::mutex> guard(UserLock());
        Window* window = WindowOf(hWnd);
        if (window == nullptr)
        {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        return PostTo(*window->queue, hWnd, Msg, wParam, lParam);
    }

    BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam)
    {
        if (idThread == GetCurrentThreadId())
        {
            CurrentQueue();
        }
        std::lock_guard<std::mutex> guard(UserLock());
        ThreadQueue* queue = QueueOfThread(idThread);
        if (queue == nullptr)
        {
            SetLastError(ERROR_INVALID_THREAD_ID);
            return FALSE;
        }
        return PostTo(*queue, nullptr, Msg, wParam, lParam);
    }

    LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
    {
        if (hWnd == HWND_BROADCAST)
        {
            for (HWND target : BroadcastTargets())
            {
                SendMessageA(target, Msg, wParam, lParam);
            }
            return 0;
        }
        ThreadQueue& self = CurrentQueue();
        UserLock().lock();
        Window* window = WindowOf(hWnd);
        if (window == nullptr)
        {
            UserLock().unlock();
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (window->queue == &self)
        {
            UserLock().unlock();
            return CallWindow(hWnd, Msg, wParam, lParam);
        }
        return SendToOtherThread(self, window, Msg, wParam, lParam);
    }

    BOOL WINAPI SendNotifyMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
    {
        if (hWnd == HWND_BROADCAST)
        {
            for (HWND target : BroadcastTargets())
            {
                SendNotifyMessageA(target, Msg, wParam, lParam);
            }
            return TRUE;
        }
        ThreadQueue& self = CurrentQueue();
        {
            std::lock_guard<std::mutex> guard(UserLock());
            Window* window = WindowOf(hWnd);
            if (window == nullptr)
            {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return FALSE;
            }
            if (window->queue != &self)
            {
                auto* message = new SentMessage;
                message->hwnd = hWnd;
                message->message = Msg;
                message->wParam = wParam;
                message->lParam = lParam;
                // The section name of a setting change travels with the message, as Windows
                // marshals it: the sender may free or reuse its string once the call returns.
                if (Msg == WM_SETTINGCHANGE && lParam != 0)
                {
                    const char* section = reinterpret_cast<const char*>(lParam);
                    message->data.assign(section, section + strlen(section) + 1);
                    message->lParam = reinterpret_cast<LPARAM>(message->data.data());
                }
                QueueSentMessage(*window->queue, message);
                return TRUE;
            }
        }
        CallWindow(hWnd, Msg, wParam, lParam);
        return TRUE;
    }

    VOID WINAPI PostQuitMessage(int nExitCode)
    {
        ThreadQueue& queue = CurrentQueue();
        std::lock_guard<std::mutex> guard(UserLock());
        queue.quit = true;
        queue.quitCode = nExitCode;
        WakeQueue(queue);
    }

    DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                           DWORD dwMilliseconds, DWORD dwWakeMask)
    {
        if (nCount > MAXIMUM_WAIT_OBJECTS - 2 || (nCount != 0 && pHandles == nullptr))
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
        ThreadQueue& queue = CurrentQueue();
        DeliverDeviceEvents();
        // Input already waiting: sent messages, or posted ones the mask asks for.
        {
            std::lock_guard<std::mutex> guard(UserLock());
            bool sent = (dwWakeMask & QS_SENDMESSAGE) != 0 && !queue.sent.empty();
            bool posted = (dwWakeMask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) != 0 &&
                          (!queue.posted.empty() || queue.quit);
            if (sent || posted)
            {
                return WAIT_OBJECT_0 + nCount;
            }
        }
        LARGE_INTEGER storage;
        PLARGE_INTEGER timeout = winsim::user::TimeoutOf(dwMilliseconds, storage);
        for (;;)
        {
            NTSTATUS status = fWaitAll && nCount != 0
                                  ? WaitForInput(queue, pHandles, nCount, true, timeout, false)
                                  : WaitForInput(queue, pHandles, nCount, false, timeout, false);
            if (status == STATUS_TIMEOUT)
            {
                return WAIT_TIMEOUT;
            }
            if (!NT_SUCCESS(status))
            {
                winsim::ntdll::FailWith(status);
                return WAIT_FAILED;
            }
            DWORD index = static_cast<DWORD>(status - STATUS_WAIT_0);
            if (status >= STATUS_ABANDONED_WAIT_0 && status < STATUS_ABANDONED_WAIT_0 + MAXIMUM_WAIT_OBJECTS)
            {
                return WAIT_ABANDONED_0 + static_cast<DWORD>(status - STATUS_ABANDONED_WAIT_0);
            }
            if (index < nCount)
            {
                return WAIT_OBJECT_0 + index;
            }
            // The queue was woken, or Plug and Play events came: input for the thread.
            DeliverDeviceEvents();
            std::lock_guard<std::mutex> guard(UserLock());
            if (!queue.sent.empty() || !queue.posted.empty() || queue.quit)
            {
                return WAIT_OBJECT_0 + nCount;
            }
        }
    }

} // extern "C"
