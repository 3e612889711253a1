#include "CommandLineCheck.h"

#include <gtest/gtest.h>

namespace KestruneTest {

void expectCommandLines(const std::string& program, const std::string& name,
                        const std::vector<std::string>& leading,
                        const std::vector<CommandLineCase>& cases,
                        const KestruneCore::ProcessOptions& options) {
    for (const auto& c : cases) {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), leading.begin(), leading.end());
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string label = ::testing::PrintToString(c.args);

        auto out = KestruneCore::runProcess(argv, options);
        auto both = options;
        both.captureStderr = true;
        auto all = KestruneCore::runProcess(argv, both);

        EXPECT_EQ(out.exitStatus, c.status) << label << ": " << all.output;
        if (c.status == 0) {
            EXPECT_EQ(out.output.rfind(c.output, 0), 0u) << label << ": " << out.output;
            continue;
        }
        EXPECT_EQ(out.output, "") << label;
        EXPECT_EQ(all.output.rfind(name + ": ", 0), 0u) << label << ": " << all.output;
        EXPECT_NE(all.output.find(c.output), std::string::npos) << label << ": " << all.output;
        EXPECT_NE(all.output.find("--help"), std::string::npos) << label << ": " << all.output;
        EXPECT_EQ(all.output.find('\n'), all.output.size() - 1) << label << ": not one line";
    }
}

} // namespace KestruneTest
