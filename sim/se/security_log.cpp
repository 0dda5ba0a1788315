#include "sim/security_log.h"

#include <mutex>

namespace sim {
namespace {

std::mutex g_lock;
std::vector<OpenByPointer> g_opens;
std::vector<SecureCreationCall> g_creations;

}  // namespace

std::vector<OpenByPointer> OpensByPointer()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_opens;
}

std::vector<SecureCreationCall> SecureCreationCalls()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_creations;
}

void LogOpenByPointer(const OpenByPointer &open)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_opens.push_back(open);
}

void LogSecureCreation(const SecureCreationCall &call)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_creations.push_back(call);
}

void ResetSecurityLog()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_opens.clear();
    g_creations.clear();
}

}  // namespace sim
