// What the page tests against the openssl command line share: a skip when openssl is missing,
// paths in the test's directory, running a command with its output kept, and reading back the
// "label|..." lines a page printed.
#pragma once

#include "integration/PageSupport.h"

#include <sys/wait.h>

#include <cstdlib>
#include <map>
#include <string>

namespace npk::test {

class OpenSslPageTest : public HostTest {
protected:
    void SetUp() override
    {
        if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl is not on PATH";
        HostTest::SetUp();
    }

    std::string P(const std::string& name) const { return (Dir() / name).string(); }

    // Runs a shell command with its output in P("openssl.out"); its exit status, -1 if killed.
    int Run(const std::string& command)
    {
        int rc = std::system((command + " >" + P("openssl.out") + " 2>&1").c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    std::string Output() const { return ReadAll(P("openssl.out")); }

    // Runs the page; returns label -> the rest of each "label|..." line it printed.
    std::map<std::string, std::string> LabelledPage(const std::string& script)
    {
        HostResult r = Page(script);
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<std::string, std::string> values;
        for (const std::string& line : Lines(r.out)) {
            size_t bar = line.find('|');
            if (bar != std::string::npos) values[line.substr(0, bar)] = line.substr(bar + 1);
        }
        return values;
    }

    // A page with DATA (the fixtures' directory) and out(label, f), which prints
    // "label|ok:<value>|<code>" or "label|threw:<code>|<code>".
    std::map<std::string, std::string> RunPage(const std::string& body)
    {
        return LabelledPage("var DATA = " + Js(DataDir()) + ";\n"
                            "function out(label, f) { var v; try { v = 'ok:' + f(); } catch (e) { v = 'threw:' + code(plugin); }"
                            " print(label + '|' + v.replace(/\\r?\\n/g, '') + '|' + code(plugin)); }\n" +
                            body);
    }
};

}  // namespace npk::test
