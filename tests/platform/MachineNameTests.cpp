#include "platform/xdg/MachineName.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

TEST(MachineName, PrettyHostNameIsUnquoted)
{
    EXPECT_EQ(MachineName::prettyHostName("PRETTY_HOSTNAME=\"Anna's MacBook\"\n"), u"Anna's MacBook"_s);
    EXPECT_EQ(MachineName::prettyHostName("CHASSIS=laptop\nPRETTY_HOSTNAME='Büro PC'\n"), u"Büro PC"_s);
    EXPECT_EQ(MachineName::prettyHostName("PRETTY_HOSTNAME=\"say \\\"hi\\\"\""), u"say \"hi\""_s);
    EXPECT_EQ(MachineName::prettyHostName("PRETTY_HOSTNAME=Plain\\ Name"), u"Plain Name"_s);
    EXPECT_EQ(MachineName::prettyHostName("DEPLOYMENT=lab\n"), QString());
    EXPECT_EQ(MachineName::prettyHostName("PRETTY_HOSTNAME=\n"), QString());
}

TEST(MachineName, PrettyNameThenHostNameThenMac)
{
    QTemporaryDir folder;
    const QString info = folder.path() + u"/machine-info"_s;
    EXPECT_EQ(MachineName::choose(info, u"workstation"_s), u"workstation"_s);
    EXPECT_EQ(MachineName::choose(info, QString()), u"Mac"_s);
    QFile file(info);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("PRETTY_HOSTNAME=\"Studio “Nord”\"\n");
    file.close();
    EXPECT_EQ(MachineName::choose(info, u"workstation"_s), u"Studio “Nord”"_s);
}

TEST(MachineName, CurrentIsTheTestMachinesHostName)
{
    // tests/env/isolate names its machine.
    if (!QFile::exists(u"/etc/machine-info"_s)) {
        EXPECT_EQ(MachineName::current(), u"ovu-test-host"_s);
    }
}
