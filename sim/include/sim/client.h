// What a user-mode client does with a device, the way Win32 and the I/O
// manager carry it out: CreateFile by name, ReadFile, WriteFile,
// DeviceIoControl, CancelIo and CloseHandle.
//
// Opening resolves the name in the object manager's name space ("\\.\x" is
// "\??\x"), refuses a device its DriverEntry has not yet finished
// (STATUS_NO_SUCH_DEVICE), checks the caller's token against the device's
// security with the file generic mapping (for a name below the device too
// when the device has FILE_DEVICE_SECURE_OPEN), refuses an exclusive device
// (DO_EXCLUSIVE) while a file is open on it, whatever the name below it,
// with STATUS_ACCESS_DENIED (a file counts from its create until its
// IRP_MJ_CLOSE has been sent), and sends IRP_MJ_CREATE
// through the driver's dispatch table. The handle is granted the access asked
// for, generic rights mapped. A read needs FILE_READ_DATA, a write
// FILE_WRITE_DATA or FILE_APPEND_DATA, and a device control every right its
// code's access bits name (FILE_READ_ACCESS: read data, FILE_WRITE_ACCESS:
// write data); without them the I/O manager refuses the request with
// STATUS_ACCESS_DENIED before the driver sees it (Request::Refuse). Closing
// the handle sends IRP_MJ_CLEANUP at once and IRP_MJ_CLOSE once the file's
// last request has completed: at once when none is pending, otherwise from an
// I/O manager thread after that completion. A request issued on a handle
// already closed never reaches the driver: STATUS_INVALID_HANDLE.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/device_control.h"
#include "sim/io.h"
#include "sim/tokens.h"

namespace sim {

constexpr ULONG kFileDeviceSecureOpen = 0x00000100;

struct ClientState;

class ClientHandle {
public:
    // CreateFile. The open's status; *handle is set only on success.
    static NTSTATUS Open(const std::u16string &name, Account account, ACCESS_MASK desiredAccess,
                         ClientHandle *handle);

    const File &FileObject() const;

    // What the caller learns when a request completes: called inside its
    // completion, after the I/O manager returned the buffers, with the IRP's
    // final IoStatus, from whichever thread completed it (a caller's done
    // step must not block).
    using RequestDone = std::function<void(const Request &, const IO_STATUS_BLOCK &)>;
    using ControlDone = std::function<void(const ControlRequest &, const IO_STATUS_BLOCK &)>;

    Request Read(ULONG length, RequestDone done = nullptr) const;
    Request Write(std::vector<uint8_t> data, RequestDone done = nullptr) const;
    ControlRequest Control(ULONG controlCode, std::vector<uint8_t> input, ULONG outputLength,
                           ControlDone done = nullptr) const;
    // Cancels every request the calling thread issued on this handle that
    // has not completed; other threads' requests go on. A thread's exit
    // cancels every request it issued that is still pending.
    void CancelIo() const;
    // CloseHandle; a second close does nothing.
    void Close() const;

private:
    std::shared_ptr<ClientState> state_;
};

// Files open on the driver's devices: opened and not yet sent IRP_MJ_CLOSE.
size_t OpenFileCount(PDRIVER_OBJECT driver);
// True once every close deferred behind pending requests has been sent.
bool WaitForDeferredCloses(std::chrono::milliseconds limit = kWaitLimit);
// Threads the I/O manager keeps for deferred closes: those still sending and
// those that ended since the last deferral.
size_t CloserThreadsKept();

// The world's part: forget every handle (sim::ResetWorld).
void ResetClients();

}  // namespace sim
