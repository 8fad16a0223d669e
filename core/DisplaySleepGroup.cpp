#include "core/DisplaySleepGroup.h"

#include <algorithm>

DisplaySleepGroup::DisplaySleepGroup(std::vector<std::unique_ptr<DisplaySleep>> members)
    : m_members(std::move(members))
{}

void DisplaySleepGroup::wake()
{
    for (const auto& member : m_members) {
        member->wake();
    }
}

bool DisplaySleepGroup::hold()
{
    for (const auto& member : m_members) {
        const bool already = std::find(m_holding.begin(), m_holding.end(), member.get()) != m_holding.end();
        if (!already && member->hold()) {
            m_holding.push_back(member.get());
        }
    }
    return !m_holding.empty();
}

void DisplaySleepGroup::release()
{
    for (DisplaySleep* member : m_holding) {
        member->release();
    }
    m_holding.clear();
}
