#include "shell/application.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "shell/catalogue.h"
#include "shell/frontend.h"

namespace {

// Records the steps it runs; the step named in `failing` fails with `id`.
class StepRecorder : public shell::Application {
public:
    explicit StepRecorder(std::string failing = "", unsigned id = 0)
        : Application("WIN morvane Test", "WIN morvane Test Class", nullptr), failing(std::move(failing)), id(id) {}

    void readSettings(const char* fileName) override { steps.push_back(std::string("readSettings:") + fileName); }
    bool initNetwork() override { return step("initNetwork"); }
    bool openSerial() override { return step("openSerial"); }
    bool startThreads() override {
        bool ok = step("startThreads");
#ifndef _WIN32
        // Stands for the user pressing EXIT once the program runs: the signal
        // waits, blocked, for the message loop.
        if (ok) raise(SIGTERM);
#endif
        return ok;
    }
    std::string runningNote() const override { return "test: running here"; }

    bool step(const std::string& name) {
        steps.push_back(name);
        if (name != failing) return true;
        errorMessageId = id;
        return false;
    }

    std::string failing;
    unsigned id;
    std::vector<std::string> steps;
};

}  // namespace

#ifndef _WIN32
TEST(Startup, StepsRunInOrderThenTheMessageLoopEndsWithZero) {
    StepRecorder app;
    testing::internal::CaptureStderr();
    int status = shell::runApplication(app, 101, 104, 5);
    std::string output = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, shell::exitNormal);
    EXPECT_EQ(app.steps,
              (std::vector<std::string>{"readSettings:morvane.ini", "initNetwork", "openSerial", "startThreads"}));
    EXPECT_EQ(output, "test: running here\n");
    EXPECT_EQ(shell::theApp, &app);
    EXPECT_EQ(app.dialogId, 101);
    EXPECT_EQ(app.iconId, 104);
}

TEST(Startup, FirstFailingStepStopsTheSequenceAndShowsItsMessage) {
    struct Expectation {
        const char* failing;
        unsigned id;
        std::vector<std::string> steps;
        const char* message;
    };
    const std::vector<Expectation> expectations = {
        {"initNetwork", shell::messageNetwork, {"readSettings:morvane.ini", "initNetwork"},
         "WIN morvane Test: ネットワークのエラーが発生しました (a network error occurred)\n"},
        {"openSerial", shell::messageSerial, {"readSettings:morvane.ini", "initNetwork", "openSerial"},
         "WIN morvane Test: シリアルでエラーが発生しました (an error occurred on the serial side)\n"},
        {"startThreads", shell::messageThread,
         {"readSettings:morvane.ini", "initNetwork", "openSerial", "startThreads"},
         "WIN morvane Test: スレッド生成でエラーが発生しました (an error occurred while creating a thread)\n"},
        {"initNetwork", shell::messageSettings, {"readSettings:morvane.ini", "initNetwork"},
         "WIN morvane Test: morvane.ini ファイルに誤りがあります (the settings file morvane.ini contains an error)\n"},
    };
    for (const Expectation& expected : expectations) {
        StepRecorder app(expected.failing, expected.id);
        testing::internal::CaptureStderr();
        int status = shell::runApplication(app, 102, 103, 5);
        std::string output = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, shell::exitStartupFailure) << expected.failing;
        EXPECT_EQ(app.steps, expected.steps) << expected.failing;
        EXPECT_EQ(output, expected.message);
    }
}

TEST(Startup, CatalogueIdWithoutTextShowsAnEmptyMessage) {
    testing::internal::CaptureStderr();
    shell::showCatalogueMessage(nullptr, "WIN morvane Test", 4);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "WIN morvane Test: \n");
}

TEST(SessionError, ShowsTheTextAndEndsWithStatusOneAfterCleanUp) {
    EXPECT_EXIT(
        {
            StepRecorder app;
            shell::atProcessEnd([] { std::fputs("cleaned up\n", stderr); });
            app.failSession("connect connect error");
        },
        ::testing::ExitedWithCode(shell::exitSessionError), "WIN morvane Test: connect connect error\ncleaned up");
}
#endif
