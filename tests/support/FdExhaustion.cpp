#include "tests/support/FdExhaustion.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

FdExhaustion::FdExhaustion()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    m_softLimit = limit.rlim_cur;
    const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(lowestFree);
    limit.rlim_cur = static_cast<rlim_t>(lowestFree);
    setrlimit(RLIMIT_NOFILE, &limit);
}

FdExhaustion::~FdExhaustion()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(m_softLimit);
    setrlimit(RLIMIT_NOFILE, &limit);
}
