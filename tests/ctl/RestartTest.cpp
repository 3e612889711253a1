// `restart`: a request file the engine acts on, refused where nothing would restart.
#include "CtlHome.h"

#include "core/FileIO.h"

#include <gtest/gtest.h>

using namespace KestruneTest;

TEST(CtlRestart, AsksTheEngineOnlyWhereARestartCanHappen) {
    CtlHome home;
    std::string web = home.makeService("web");
    std::string list = "1\tweb\t" + web + "\tservice\tlaunch.sh\n" + "0\toff\t" + web +
                       "/off\tservice\tlaunch.sh\n" + "1\tbare\t" + web +
                       "/bare\tservice\tunknown\n" + "1\tMail\t/nowhere/Mail.app\tapp\n";
    home.writeWatchList(list);
    const std::string request = home.stateFolder() + "/svc_web_.restart";

    struct Case {
        std::string name;
        std::string master;
        int status;
        std::string said;
    };
    const Case cases[] = {
        {"web", "off\n", 1, "keeping alive is off; switch it on to restart web"},
        {"off", "on\n", 1, "off is switched off"},
        {"bare", "on\n", 1, "bare has no start command"},
        {"Mail", "on\n", 1, "Mail is not a service"},
        {"nothing", "on\n", 1, "nothing"},
        {"web", "on\n", 0, "Asked the keep-alive engine to restart web now\n"},
    };
    for (const auto& c : cases) {
        home.writeMaster(c.master);
        auto r = home.run({"restart", c.name});
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.output;
        EXPECT_NE(r.output.find(c.said), std::string::npos) << r.output;
        EXPECT_EQ(KestruneCore::fileExists(request), c.status == 0) << c.name;
    }
}
