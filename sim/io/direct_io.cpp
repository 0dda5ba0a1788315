// Direct-I/O reads and writes: caller buffers locked and described by MDLs,
// released by the I/O manager when the request completes.
#include "sim/direct_io.h"

#include <map>
#include <memory>
#include <mutex>

#include "platform/mm.h"
#include "sim/io/io_internal.h"
#include "sim/ndis_pools.h"

namespace sim {
namespace {

using Pieces = std::vector<std::vector<uint8_t>>;

std::mutex g_lock;
std::map<PIRP, std::shared_ptr<Pieces>> g_buffers;

Request Build(UCHAR majorFunction, const File &file, Pieces pieces)
{
    Request request(majorFunction, file);
    auto buffer = std::make_shared<Pieces>(std::move(pieces));
    ULONG length = 0;
    PMDL *link = &request.Irp()->MdlAddress;
    for (std::vector<uint8_t> &piece : *buffer) {
        if (piece.empty()) {
            continue;
        }
        *link = AllocateLockedMdl(piece.data(), static_cast<ULONG>(piece.size()));
        link = &(*link)->Next;
        length += static_cast<ULONG>(piece.size());
    }
    if (majorFunction == IRP_MJ_READ) {
        request.Stack()->Parameters.Read.Length = length;
    } else {
        request.Stack()->Parameters.Write.Length = length;
    }
    // What the I/O manager does at completion: unlock and free the chain.
    request.OnCompletion([](PIRP irp) {
        PMDL mdl = irp->MdlAddress;
        irp->MdlAddress = nullptr;
        while (mdl != nullptr) {
            PMDL next = mdl->Next;
            IoFreeMdl(mdl);
            mdl = next;
        }
    });
    std::lock_guard<std::mutex> guard(g_lock);
    g_buffers[request.Irp()] = std::move(buffer);
    return request;
}

}  // namespace

Request BuildRead(const File &file, ULONG length)
{
    return Build(IRP_MJ_READ, file, Pieces{std::vector<uint8_t>(length, kCallerFillByte)});
}

Request BuildWrite(const File &file, std::vector<uint8_t> data)
{
    Pieces pieces;
    pieces.push_back(std::move(data));
    return Build(IRP_MJ_WRITE, file, std::move(pieces));
}

Request BuildChainedWrite(const File &file, const std::vector<std::vector<uint8_t>> &pieces)
{
    return Build(IRP_MJ_WRITE, file, pieces);
}

std::vector<uint8_t> CallerBytes(const Request &request)
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<uint8_t> bytes;
    auto found = g_buffers.find(request.Irp());
    if (found != g_buffers.end()) {
        for (const std::vector<uint8_t> &piece : *found->second) {
            bytes.insert(bytes.end(), piece.begin(), piece.end());
        }
    }
    return bytes;
}

void ForgetCallerBuffers(const std::vector<PIRP> &irps)
{
    std::lock_guard<std::mutex> guard(g_lock);
    for (PIRP irp : irps) {
        g_buffers.erase(irp);
    }
}

std::shared_ptr<const CallerPieces> CallerBuffer(const Request &request)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto found = g_buffers.find(request.Irp());
    return found == g_buffers.end() ? nullptr : found->second;
}

void ForgetCallerBuffer(PIRP irp)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_buffers.erase(irp);
}

void ResetDirectIo()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_buffers.clear();
}

}  // namespace sim
