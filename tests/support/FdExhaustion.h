#pragma once

// While it lives, this process cannot open another file descriptor (accept, socket and open
// fail with EMFILE): the soft descriptor limit is lowered to the lowest free descriptor.
class FdExhaustion {
public:
    FdExhaustion();
    ~FdExhaustion();
    FdExhaustion(const FdExhaustion&) = delete;
    FdExhaustion& operator=(const FdExhaustion&) = delete;

private:
    unsigned long m_softLimit = 0;
};
