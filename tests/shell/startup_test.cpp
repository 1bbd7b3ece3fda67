#include "shell/application.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "shell/catalogue.h"
#include "shell/frontend.h"

// The console front end (Linux); the Wine suite drives the Windows one.
#ifndef _WIN32
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
        // Stands for the user pressing EXIT once the program runs: the signal
        // waits, blocked, for the message loop.
        if (ok) raise(SIGTERM);
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

TEST(Startup, StepsRunInOrderThenTheMessageLoopEndsWithZero) {
    StepRecorder app;
    testing::internal::CaptureStderr();
    EXPECT_EQ(shell::runApplication(app, 101, 104, 5), shell::exitNormal);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "test: running here\n");
    EXPECT_EQ(app.steps, (std::vector<std::string>{"readSettings:morvane.ini", "initNetwork", "openSerial", "startThreads"}));
    EXPECT_EQ(shell::theApp, &app);
}

TEST(Startup, FirstFailingStepStopsTheSequenceAndShowsItsMessage) {
    const struct {
        const char* failing;
        unsigned id;
        size_t stepsRun;
        const char* message;
    } cases[] = {
        {"initNetwork", shell::messageNetwork, 2, "ネットワークのエラーが発生しました (a network error occurred)"},
        {"openSerial", shell::messageSerial, 3, "シリアルでエラーが発生しました (an error occurred on the serial side)"},
        {"startThreads", shell::messageThread, 4, "スレッド生成でエラーが発生しました (an error occurred while creating a thread)"},
        {"initNetwork", shell::messageSettings, 2,
         "morvane.ini ファイルに誤りがあります (the settings file morvane.ini contains an error)"},
    };
    for (const auto& expected : cases) {
        StepRecorder app(expected.failing, expected.id);
        testing::internal::CaptureStderr();
        EXPECT_EQ(shell::runApplication(app, 102, 103, 5), shell::exitStartupFailure) << expected.failing;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("WIN morvane Test: ") + expected.message + "\n");
        EXPECT_EQ(app.steps.size(), expected.stepsRun) << expected.failing;
        EXPECT_EQ(app.steps.back(), expected.failing);
    }
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
