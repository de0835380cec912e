// The whole plug-in in this process on a driven clock: constructor, attempts,
// presses, verify polls and every ending, each in a fresh image.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "autostart_fixture.h"

namespace autostart_test {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using LoopTest = HostFixture;

std::string constructorLine(const char* bundle, const char* app = "yes") {
    return "constructor in pid " + std::to_string(getpid()) + " bundle " + bundle + " NSApp=" + app;
}

TEST_F(LoopTest, EnglishMenusPressAtAttemptFortyAndTheStartIsConfirmed) {
    PLAXNodeRef script = buildMenus();
    showWindow("Project Manager");
    load();
    run([&](int tick) {
        if (!pressTicks_.empty() && tick == pressTicks_[0] + 8) writeManifest(wallNow());
    });
    EXPECT_THAT(messages(),
                ElementsAre(constructorLine(kHostIdentifier), "pinned " + imagePath_ + " -> ok",
                            "ax: first AXWindows read took 0.0 ms, err=0", "windows: Project Manager|",
                            "window visible, grace period", "menubar children: File|Workspace|", "ax: press err=0",
                            "clicked Workspace > Scripts item", "script started (manifest written)"));
    EXPECT_THAT(pressTicks_, ElementsAre(40));
    EXPECT_THAT(ticksOf("script started (manifest written)"), ElementsAre(48));
    EXPECT_EQ(PLHostAXPressCount(script), 1);
    EXPECT_EQ(PLHostPendingTasks(), 0u);
    expectNothingHeld();
}

TEST_F(LoopTest, FirstPressWaitsSixteenAttemptsAfterTheFirstSightOfAWindow) {
    // Seen at attempt 24 or earlier: press at 40; later: 16 attempts after the sight.
    for (auto [seen, press] : {std::pair{24, 40}, std::pair{30, 46}}) {
        SCOPED_TRACE(seen);
        TearDown();
        SetUp();
        buildMenus();
        load("autostart-" + std::to_string(seen) + ".ofx");
        // Named captures: clang 14 cannot capture structured bindings themselves.
        run([&, seen = seen, press = press](int tick) {
            if (tick == seen) showWindow("Edit");
            if (tick == press + 1) writeManifest(wallNow());
        });
        EXPECT_THAT(ticksOf("window visible, grace period"), ElementsAre(seen));
        EXPECT_THAT(pressTicks_, ElementsAre(press));
    }
}

TEST_F(LoopTest, NoWindowEverGivesUpAtChainIndex1200) {
    buildMenus();
    load();
    run();
    std::vector<int> expected;
    for (int tick = 1; tick <= 1201; tick += 20)
        expected.push_back(tick);
    EXPECT_EQ(ticksOf("waiting: no Resolve window yet"), expected);
    EXPECT_THAT(ticksOf("gave up: menu item not found"), ElementsAre(1201));
    EXPECT_EQ(lines_.back().message, "gave up: menu item not found");
    EXPECT_EQ(PLHostPendingTasks(), 0u);
    expectNothingHeld();
}

TEST_F(LoopTest, ManifestFromTheSecondOfTheLaunchMeansAlreadyRunning) {
    buildMenus();
    writeManifest(kLaunchWall);
    load();
    run([&](int tick) {
        if (tick == 5) showWindow("Edit");
    });
    EXPECT_THAT(ticksOf("script already running (manifest newer than launch), not pressing"), ElementsAre(5));
    EXPECT_THAT(ticksOf("window visible, grace period"), IsEmpty());
    EXPECT_EQ(lines_.back().message, "script already running (manifest newer than launch), not pressing");
    EXPECT_THAT(pressTicks_, IsEmpty());
    EXPECT_EQ(PLHostPendingTasks(), 0u);
    expectNothingHeld();
}

TEST_F(LoopTest, ManifestOneSecondOlderThanTheLaunchIsStale) {
    buildMenus();
    showWindow("Edit");
    writeManifest(kLaunchWall - 1);
    load();
    run([&](int tick) {
        if (tick == 41) writeManifest(wallNow());
    });
    EXPECT_THAT(pressTicks_, ElementsAre(40));
    EXPECT_THAT(ticksOf("script started (manifest written)"), ElementsAre(41));
}

// A clock that was ahead stamped this manifest: it says nothing about a script until its time changes.
TEST_F(LoopTest, ManifestStampedAfterTheLaunchIsNoSignUntilItChanges) {
    for (int rewrittenAt : {0, 20}) {
        SCOPED_TRACE(rewrittenAt);
        TearDown();
        SetUp();
        buildMenus();
        showWindow("Edit");
        writeManifest(kLaunchWall + 3600);
        load("autostart-" + std::to_string(rewrittenAt) + ".ofx");
        run([&](int tick) {
            if (tick == rewrittenAt) writeManifest(wallNow());
            if (tick == 44) writeManifest(wallNow());
        });
        if (rewrittenAt == 0) {
            EXPECT_THAT(pressTicks_, ElementsAre(40));
            EXPECT_THAT(ticksOf("script started (manifest written)"), ElementsAre(44));
        } else {
            EXPECT_THAT(pressTicks_, IsEmpty());
            EXPECT_THAT(ticksOf("script already running (manifest newer than launch), not pressing"),
                        ElementsAre(rewrittenAt));
        }
    }
}

TEST_F(LoopTest, ClockSetBackBetweenPressAndManifestStillConfirmsThePress) {
    buildMenus();
    showWindow("Edit");
    writeManifest(kLaunchWall - 100);
    load();
    run([&](int tick) {
        if (tick == 42) PLHostShiftWallClock(-3600 * kSecond);
        if (tick == 44) writeManifest(wallNow());
    });
    EXPECT_THAT(pressTicks_, ElementsAre(40));
    EXPECT_THAT(ticksOf("script started (manifest written)"), ElementsAre(44));
}

// The host runs the item's action inside the press for 3 s, and the script writes its manifest meanwhile.
TEST_F(LoopTest, PressThatTakesSecondsIsTimedFromItsStart) {
    buildMenus();
    showWindow("Edit");
    load();
    std::string manifest = support_ + "/davinci-bridge.json";
    PLHostAXSetPressHandler(
        [](PLAXNodeRef, void* path) {
            touch(*static_cast<std::string*>(path), PLHostWallNanoseconds() / kSecond);
            PLHostAdvanceClock(3 * kSecond);
        },
        &manifest);
    run();
    EXPECT_THAT(ticksOf("ax: press err=0"), ElementsAre(40));
    EXPECT_THAT(ticksOf("script started (manifest written)"), ElementsAre(53));
    EXPECT_THAT(ticksOf("no manifest 20 s after press, pressing again"), IsEmpty());
}

TEST_F(LoopTest, WindowTitleListIsReportedOnlyWhenItChanges) {
    buildMenus();
    PLAXNodeRef untitled = PLHostAXCreateNode(nullptr);
    PLAXNodeRef odd = PLHostAXCreateNode(nullptr);
    PLHostAXSetNonStringTitle(odd, "42");
    PLHostAXAppendWindow(untitled);
    PLHostAXAppendWindow(odd);
    load();
    auto show = [](std::initializer_list<const char*> titles) {
        PLHostAXRemoveWindows();
        for (const char* t : titles)
            showWindow(t);
    };
    run(
        [&](int tick) {
            if (tick == 3) show({""});
            if (tick == 5) show({"A", "B"});
            if (tick == 6) show({"A", "B"});
            if (tick == 7) show({"B", "A"});
            if (tick == 8) show({"A", "B"});
            if (tick == 9) show({});
        },
        10);
    // Titles that are missing or not strings add nothing, so the start reports nothing.
    EXPECT_THAT(ticksOf("windows: |"), ElementsAre(3));
    EXPECT_THAT(ticksOf("waiting: no Resolve window yet"), ElementsAre(1));
    EXPECT_THAT(ticksOf("windows: A|B|"), ElementsAre(5, 8));
    EXPECT_THAT(ticksOf("windows: B|A|"), ElementsAre(7));
    EXPECT_THAT(ticksOf("windows: (none)"), ElementsAre(9));
    EXPECT_THAT(ticksOf("window visible, grace period"), ElementsAre(5));
}

TEST_F(LoopTest, AnotherLanguageIsFoundByOwnNamesEveryEighthAttempt) {
    const std::string found = "ax: English menu names did not match, found the script by its own name";
    buildMenus("Arbeitsbereich", "Skripte");
    load();
    run([&](int tick) {
        if (tick == 30) showWindow("Projekt");
        if (tick == 49) writeManifest(wallNow());
    });
    // Press phase starts at 46; 46 and 47 find nothing, 48 is a multiple of 8.
    EXPECT_THAT(pressTicks_, ElementsAre(48));
    EXPECT_THAT(ticksOf(found), ElementsAre(48));
    EXPECT_THAT(ticksOf("ax: matched 0 of 4 menu levels"), IsEmpty());
    EXPECT_THAT(ticksOf("script started (manifest written)"), ElementsAre(49));

    // Visible from the start: found at attempt 40. Presses that fail until attempt 50
    // show each search in between, which only a period of 8 puts at 40, 48 and 56.
    TearDown();
    SetUp();
    PLAXNodeRef script = buildMenus("Arbeitsbereich", "Skripte");
    PLHostAXSetPressResult(script, kAXErrorFailure);
    showWindow("Projekt");
    load("autostart-visible.ofx");
    run([&](int tick) {
        if (tick == 50) PLHostAXSetPressResult(script, kAXErrorSuccess);
        if (tick == 57) writeManifest(wallNow());
    });
    EXPECT_THAT(ticksOf(found), ElementsAre(40, 48, 56));
    EXPECT_THAT(ticksOf("ax: press err=-25200"), ElementsAre(40, 48));
    EXPECT_THAT(pressTicks_, ElementsAre(56));
    EXPECT_THAT(ticksOf("ax: matched 0 of 4 menu levels"), ElementsAre(41, 51));
}

TEST_F(LoopTest, MissingItemReportsPeriodicallyAndGivesUp) {
    // Workspace > Scripts exist, the folder does not.
    PLAXNodeRef bar = PLHostAXCreateNode(nullptr);
    PLAXNodeRef scripts =
        PLHostAXAddMenu(PLHostAXAddItem(PLHostAXAddMenu(PLHostAXAddItem(bar, "Workspace")), "Scripts"));
    PLHostAXAddItem(scripts, "Comp");
    PLHostAXSetMenuBar(bar);
    showWindow("Edit");
    load();
    run();
    std::vector<int> periodic;
    for (int tick = 41; tick <= 1201; tick += 10)
        periodic.push_back(tick);
    EXPECT_EQ(ticksOf("ax: trusted=1 menubar err=0"), periodic);
    EXPECT_EQ(ticksOf("ax: matched 2 of 4 menu levels"), periodic);
    EXPECT_THAT(ticksOf("gave up: menu item not found"), ElementsAre(1201));
    EXPECT_THAT(pressTicks_, IsEmpty());
    expectNothingHeld();
}

TEST_F(LoopTest, AnItemWithoutSubmenuEndsTheWalkAndCounts) {
    PLAXNodeRef bar = PLHostAXCreateNode(nullptr);
    PLHostAXAddItem(bar, "Workspace");
    PLHostAXAddItem(bar, nullptr);
    PLHostAXSetNonStringTitle(PLHostAXAddItem(bar, nullptr), "42");
    PLHostAXSetMenuBar(bar);
    showWindow("Edit");
    load();
    run(nullptr, 41);
    EXPECT_THAT(ticksOf("ax: matched 1 of 4 menu levels"), ElementsAre(41));
    // The listing shows every item, titled or not, whatever its title's kind.
    EXPECT_THAT(ticksOf("menubar children: Workspace|?|<3432>|"), ElementsAre(1));
    expectNothingHeld();
}

TEST_F(LoopTest, UntrustedHostAndMissingMenuBarAreReportedButNeverFatal) {
    showWindow("Edit");
    PLHostAXSetTrusted(false);
    load();
    run(nullptr, 52);
    // Untrusted, even the window list fails: nothing is visible.
    EXPECT_THAT(ticksOf("waiting: no Resolve window yet"), ElementsAre(1, 21, 41));
    PLHostAXSetTrusted(true);  // from attempt 53 on: grace until 69
    run(nullptr, 72);
    EXPECT_THAT(ticksOf("window visible, grace period"), ElementsAre(53));
    EXPECT_THAT(ticksOf("ax: trusted=1 menubar err=-25212"), ElementsAre(71));
    EXPECT_THAT(ticksOf("ax: matched 0 of 4 menu levels"), IsEmpty());  // no menu bar: nothing more
}

TEST_F(LoopTest, FailedPressIsRetriedOnTheNextAttempt) {
    PLAXNodeRef script = buildMenus();
    PLHostAXSetPressResult(script, kAXErrorFailure);
    showWindow("Edit");
    load();
    run([&](int tick) {
        if (tick == 42) PLHostAXSetPressResult(script, kAXErrorActionUnsupported);
        if (tick == 43) PLHostAXSetPressResult(script, kAXErrorSuccess);
        if (tick == 44) writeManifest(wallNow());
    });
    EXPECT_THAT(ticksOf("ax: press err=-25200"), ElementsAre(40, 41));
    EXPECT_THAT(ticksOf("ax: press err=-25206"), ElementsAre(42));
    EXPECT_THAT(ticksOf("clicked Workspace > Scripts item"), ElementsAre(43));
    EXPECT_THAT(pressTicks_, ElementsAre(43));
}

TEST_F(LoopTest, UnconfirmedPressesAreRepeatedFiveTimesThenGivenUp) {
    buildMenus();
    showWindow("Edit");
    load();
    run();
    // Each verify chain runs polls 0..80 (81 ticks); the new chain presses one tick later.
    EXPECT_THAT(pressTicks_, ElementsAre(40, 122, 204, 286, 368));
    EXPECT_THAT(ticksOf("no manifest 20 s after press, pressing again"), ElementsAre(121, 203, 285, 367));
    EXPECT_THAT(ticksOf("gave up: script did not start after repeated presses"), ElementsAre(449));
    EXPECT_EQ(lines_.back().message, "gave up: script did not start after repeated presses");
    EXPECT_EQ(PLHostPendingTasks(), 0u);
    expectNothingHeld();
}

TEST_F(LoopTest, ScriptThatStartsOnlyOnTheThirdPressIsConfirmed) {
    buildMenus();
    showWindow("Edit");
    load();
    run([&](int tick) {
        if (pressTicks_.size() == 3 && tick == pressTicks_[2] + 4) writeManifest(wallNow());
    });
    EXPECT_THAT(pressTicks_, ElementsAre(40, 122, 204));
    EXPECT_THAT(ticksOf("script started (manifest written)"), ElementsAre(208));
}

TEST_F(LoopTest, ManifestWrittenBetweenVerifyChainAndRepressMeansAlreadyRunning) {
    buildMenus();
    showWindow("Edit");
    load();
    run([&](int tick) {
        if (tick == 122) writeManifest(wallNow());
    });
    EXPECT_THAT(pressTicks_, ElementsAre(40));
    EXPECT_THAT(ticksOf("script already running (manifest newer than launch), not pressing"), ElementsAre(122));
    EXPECT_EQ(PLHostPendingTasks(), 0u);
}

TEST_F(LoopTest, ExceptionDuringTheWalkIsLoggedAndTheNextAttemptFollows) {
    PLAXNodeRef script = buildMenus();
    showWindow("Edit");
    PLHostAXSetRaises(script, "AXTitle", "menu went away", 1);
    load();
    run([&](int tick) {
        if (tick == 42) writeManifest(wallNow());
    });
    EXPECT_THAT(ticksOf("exception: menu went away"), ElementsAre(40));
    EXPECT_THAT(pressTicks_, ElementsAre(41));
    expectNothingHeld();
}

TEST_F(LoopTest, ExceptionsKeepWhatTheAttemptDidBeforeAndGiveBackEverything) {
    buildMenus();
    showWindow("Edit");
    // The first sight's menu-bar listing raises: the sight stands, its listing is lost.
    PLAXNodeRef app = PLHostAXApplication();
    PLHostAXSetRaises(app, "AXMenuBar", "listing failed", 1);
    load();
    run(
        [&](int tick) {
            if (tick == 10) PLHostAXSetRaises(app, "AXWindows", "windows failed", -1);
        },
        1300);
    EXPECT_THAT(ticksOf("exception: listing failed"), ElementsAre(1));
    EXPECT_THAT(ticksOf("window visible, grace period"), ElementsAre(1));
    EXPECT_THAT(ticksOf("menubar children: "), IsEmpty());
    EXPECT_EQ(ticksOf("exception: windows failed").size(), 1192u);  // attempts 10..1201
    EXPECT_THAT(ticksOf("gave up: menu item not found"), ElementsAre(1201));
    expectNothingHeld();
}

// What a real host may do that the rules above do not expect: throw C++ exceptions, answer values of
// another kind, and answer a press with "cannot complete" whether or not it carried it out.
using HostSurprisesTest = HostFixture;

TEST_F(HostSurprisesTest, CxxExceptionsAreLoggedLikeThePlatformsAndNeverReachTheHost) {
    PLAXNodeRef script = buildMenus();
    showWindow("Edit");
    PLHostAXSetThrows(script, "AXTitle", "vector::_M_realloc_insert", 1);
    PLHostAXSetThrows(PLHostAXApplication(), "AXWindows", "std::bad_alloc", 2);
    load();
    run([&](int tick) {
        if (tick == 42) writeManifest(wallNow());
    });
    // Each ends its attempt, which reschedules as after the platform's exception.
    EXPECT_THAT(ticksOf("exception: std::bad_alloc"), ElementsAre(1, 2));
    EXPECT_THAT(ticksOf("window visible, grace period"), ElementsAre(3));
    EXPECT_THAT(ticksOf("exception: vector::_M_realloc_insert"), ElementsAre(40));
    EXPECT_THAT(pressTicks_, ElementsAre(41));
    EXPECT_THAT(ticksOf("script started (manifest written)"), ElementsAre(42));
    expectNothingHeld();
}

TEST_F(HostSurprisesTest, ValuesOfAnotherKindCountAsFailedReads) {
    PLAXNodeRef app = PLHostAXApplication();
    PLAXNodeRef bar = PLHostAXCreateNode(nullptr);
    PLAXNodeRef workspace = PLHostAXAddItem(bar, "Workspace");
    PLAXNodeRef folder =
        PLHostAXAddItem(PLHostAXAddMenu(PLHostAXAddItem(PLHostAXAddMenu(workspace), "Scripts")), "Tavrin");
    PLHostAXAddItem(PLHostAXAddMenu(folder), "Tavrin");
    PLHostAXSetMenuBar(bar);
    showWindow("Edit");
    PLHostAXSetOddValue(app, "AXWindows", "Edit", false);
    load();
    run([&](int tick) {
        if (tick == 5) {
            PLHostAXSetOddValue(app, "AXWindows", nullptr, false);
            PLHostAXSetOddValue(app, "AXMenuBar", "7", true);
        }
        if (tick == 45) {
            PLHostAXSetOddValue(app, "AXMenuBar", nullptr, false);
            PLHostAXSetOddValue(bar, "AXChildren", "Workspace", false);
        }
        if (tick == 55) {
            PLHostAXSetOddValue(bar, "AXChildren", nullptr, false);
            PLHostAXSetOddValue(workspace, "AXChildren", "2.5", true);
        }
        if (tick == 65) PLHostAXSetOddValue(workspace, "AXChildren", nullptr, false);
        if (tick == 66) writeManifest(wallNow());
    });
    EXPECT_THAT(ticksOf("waiting: no Resolve window yet"), ElementsAre(1));
    EXPECT_THAT(ticksOf("window visible, grace period"), ElementsAre(5));
    EXPECT_THAT(ticksOf("menubar children: "), ElementsAre(5));
    EXPECT_THAT(ticksOf("ax: trusted=1 menubar err=0"), ElementsAre(41, 51, 61));
    // Without a menu bar an attempt says no more; a list of another kind ends the walk at its level.
    EXPECT_THAT(ticksOf("ax: matched 0 of 4 menu levels"), ElementsAre(51));
    EXPECT_THAT(ticksOf("ax: matched 1 of 4 menu levels"), ElementsAre(61));
    EXPECT_THAT(pressTicks_, ElementsAre(65));
    for (const auto& line : lines_)
        EXPECT_EQ(line.message.rfind("exception:", 0), std::string::npos) << line.message;
    expectNothingHeld();
}

TEST_F(HostSurprisesTest, APressThatCannotCompleteWaitsForTheManifestAsAPressDoes) {
    // Carried out, the host answering late: one press, which the manifest confirms.
    PLAXNodeRef script = buildMenus();
    PLHostAXSetPressResult(script, kAXErrorCannotComplete);
    PLHostAXSetPressedDespiteCannotComplete(script, true);
    showWindow("Edit");
    load();
    run([&](int tick) {
        if (tick == 44) writeManifest(wallNow());
    });
    EXPECT_THAT(pressTicks_, ElementsAre(40));
    EXPECT_THAT(ticksOf("ax: press err=-25204"), ElementsAre(40));
    EXPECT_THAT(ticksOf("clicked Workspace > Scripts item"), IsEmpty());
    EXPECT_THAT(ticksOf("script started (manifest written)"), ElementsAre(44));

    // Never carried out: pressed again only after each verify chain, and five times at most.
    TearDown();
    SetUp();
    script = buildMenus();
    PLHostAXSetPressResult(script, kAXErrorCannotComplete);
    showWindow("Edit");
    load("autostart-never.ofx");
    run();
    EXPECT_THAT(ticksOf("ax: press err=-25204"), ElementsAre(40, 122, 204, 286, 368));
    EXPECT_THAT(pressTicks_, IsEmpty());
    EXPECT_THAT(ticksOf("gave up: script did not start after repeated presses"), ElementsAre(449));
    expectNothingHeld();
}

TEST_F(HostSurprisesTest, EntriesOfAnotherKindInListsAreSkipped) {
    PLHostAXAppendWindow(PLHostAXCreateOddEntry("Edit", false));
    showWindow("Edit");
    PLAXNodeRef bar = PLHostAXCreateNode(nullptr);
    PLHostAXAppendChild(bar, PLHostAXCreateOddEntry("3", true));
    PLAXNodeRef workspace = PLHostAXAddItem(bar, "Workspace");
    // The item's menu is its first child that is an element.
    PLHostAXAppendChild(workspace, PLHostAXCreateOddEntry("Scripts", false));
    PLAXNodeRef scripts = PLHostAXAddItem(PLHostAXCreateNode(nullptr), "Scripts");
    PLAXNodeRef workspaceMenu = PLHostAXCreateNode(nullptr);
    PLHostAXAppendChild(workspace, workspaceMenu);
    PLHostAXAppendChild(workspaceMenu, PLHostAXCreateOddEntry("Tavrin", false));
    PLHostAXAppendChild(workspaceMenu, scripts);
    PLAXNodeRef folder = PLHostAXAddItem(PLHostAXAddMenu(scripts), "Tavrin");
    PLAXNodeRef folderMenu = PLHostAXAddMenu(folder);
    PLHostAXAppendChild(folderMenu, PLHostAXCreateOddEntry("Tavrin", false));
    PLAXNodeRef script = PLHostAXAddItem(folderMenu, "Tavrin");
    PLHostAXSetMenuBar(bar);
    load();
    run([&](int tick) {
        if (tick == 41) writeManifest(wallNow());
    });
    EXPECT_THAT(ticksOf("windows: Edit|"), ElementsAre(1));
    EXPECT_THAT(ticksOf("menubar children: Workspace|"), ElementsAre(1));
    EXPECT_EQ(PLHostAXPressCount(script), 1);
    EXPECT_THAT(ticksOf("script started (manifest written)"), ElementsAre(41));

    // The search by own names skips them too: a host in another language.
    TearDown();
    SetUp();
    PLHostAXAppendWindow(PLHostAXCreateOddEntry("Edit", false));
    showWindow("Edit");
    script = buildMenus("Arbeitsbereich", "Skripte");
    PLAXNodeRef menuBar = PLHostAXCreateNode(nullptr);
    PLHostAXAppendChild(menuBar, PLHostAXCreateOddEntry("Tavrin", false));
    load("autostart-own-names.ofx");
    run([&](int tick) {
        if (tick == 41) writeManifest(wallNow());
    });
    EXPECT_EQ(PLHostAXPressCount(script), 1);
    EXPECT_THAT(ticksOf("script started (manifest written)"), ElementsAre(41));
    for (const auto& line : lines_)
        EXPECT_EQ(line.message.rfind("exception:", 0), std::string::npos) << line.message;
    expectNothingHeld();
}

// No call may hold the host's main thread for the service's default of seconds: a time-out well under a second
// bounds each, and a call that runs into it is a failed read or a press of unknown outcome.
TEST_F(HostSurprisesTest, EveryCallWaitsWellUnderASecondAtMost) {
    PLAXNodeRef script = buildMenus("Arbeitsbereich", "Skripte");
    PLAXNodeRef window = showWindow("Edit");
    PLHostAXSetAnswerDelay(window, "AXTitle", 60 * kSecond);
    PLHostAXSetAnswerDelay(script, "AXPress", 60 * kSecond);
    load();
    // Calls that wait move the driven clock, so ticks are skipped: conditions hold from a tick on.
    run([&](int tick) {
        if (tick >= 3) PLHostAXSetAnswerDelay(window, "AXTitle", 0);
        if (!pressTicks_.empty() && tick >= pressTicks_[0] + 4) writeManifest(wallNow());
    });
    EXPECT_THAT(ticksOf("ax: host did not answer (title)"), ElementsAre(1));
    EXPECT_EQ(PLHostAXPressCount(script), 1);
    EXPECT_EQ(ticksOf("ax: press err=-25204").size(), 1u);
    EXPECT_EQ(ticksOf("script started (manifest written)").size(), 1u);
    EXPECT_GT(PLHostAXLongestTimeout(), 0);
    EXPECT_LT(PLHostAXLongestTimeout(), kSecond);
    expectNothingHeld();
}

// A host that never answers costs each attempt one time-out, not one per read: the attempt ends at the first read
// left unanswered, and the next tick tries again. The first windows read says how long it waited, once.
TEST_F(HostSurprisesTest, AnAttemptEndsAtTheFirstReadTheHostLeavesUnanswered) {
    buildMenus();
    showWindow("Edit");
    PLHostAXSetAnswerDelay(PLHostAXApplication(), "AXWindows", 60 * kSecond);
    load();
    std::vector<unsigned long> calls;  // per attempt while the host is silent
    unsigned long before = PLHostAXCallCount();
    int64_t longestTask = 0;
    int64_t queuedAt = PLHostNextTaskTime();
    run(
        [&](int) {
            // A task is queued one tick after the one before it ended: what lies beyond the tick is the task's.
            longestTask = std::max(longestTask, PLHostNextTaskTime() - queuedAt - kTick);
            queuedAt = PLHostNextTaskTime();
            calls.push_back(PLHostAXCallCount() - before);
            before = PLHostAXCallCount();
        },
        29);
    calls.erase(calls.begin());  // before the first attempt
    EXPECT_THAT(calls, Each(1u));
    EXPECT_EQ(calls.size(), 20u);  // each attempt a tenth of a second longer than the tick between them
    EXPECT_GT(longestTask, 0);
    EXPECT_LT(longestTask, kTick / 2);
    EXPECT_THAT(ticksOf("ax: first AXWindows read took 100.0 ms, err=-25204"), ElementsAre(1));
    EXPECT_THAT(ticksOf("ax: host did not answer (windows)"), ElementsAre(1, 15, 29));  // attempts 1, 11, 21
    EXPECT_THAT(ticksOf("waiting: no Resolve window yet"), IsEmpty());
    PLHostAXSetAnswerDelay(PLHostAXApplication(), "AXWindows", 0);
    run([&](int tick) {
        if (tick == 60) writeManifest(wallNow());
    });
    EXPECT_EQ(pressTicks_.size(), 1u);
    EXPECT_EQ(ticksOf("script started (manifest written)").size(), 1u);
    expectNothingHeld();
}

// One title that the host answers late ends that attempt only, wherever the read is made: the first sight's
// listing of the menu bar, which then shows what it read, and the walk.
TEST_F(HostSurprisesTest, AHostThatAnswersLateOnOneTitleCostsThatAttemptOnly) {
    PLAXNodeRef file = nullptr;
    PLAXNodeRef script = buildMenus("Workspace", "Scripts", &file);
    showWindow("Edit");
    PLHostAXSetAnswerDelay(file, "AXTitle", 60 * kSecond);
    load();
    run([&](int tick) {
        if (tick == 2) PLHostAXSetAnswerDelay(file, "AXTitle", 0);
        if (tick == 40) PLHostAXSetAnswerDelay(file, "AXTitle", 60 * kSecond);
        if (tick == 41) PLHostAXSetAnswerDelay(file, "AXTitle", 0);
        if (tick == 43) writeManifest(wallNow());
    });
    EXPECT_THAT(ticksOf("menubar children: "), ElementsAre(1));
    EXPECT_THAT(ticksOf("ax: host did not answer (title)"), ElementsAre(1));
    EXPECT_THAT(ticksOf("ax: press err=0"), ElementsAre(41));
    EXPECT_EQ(PLHostAXPressCount(script), 1);
    EXPECT_THAT(ticksOf("script started (manifest written)"), ElementsAre(43));
    expectNothingHeld();
}

// Set back 90 s after the load, the clock makes a manifest from a minute before the load look newer than the press;
// unchanged, it proves nothing.
TEST_F(HostSurprisesTest, ClockSetBackBeforeThePressLeavesAStaleManifestStale) {
    buildMenus();
    showWindow("Edit");
    writeManifest(kLaunchWall - 60);
    load();
    run([&](int tick) {
        if (tick == 4) PLHostShiftWallClock(-90 * kSecond);
    });
    EXPECT_THAT(ticksOf("ax: press err=0"), ElementsAre(40, 122, 204, 286, 368));
    EXPECT_THAT(ticksOf("script started (manifest written)"), IsEmpty());
    EXPECT_THAT(ticksOf("gave up: script did not start after repeated presses"), ElementsAre(449));
}

// After the clock was set back an hour, a script started by hand stamps its manifest an hour before the load: it
// was written since the load, so the script runs, whether a stale manifest lay there before or none.
TEST_F(HostSurprisesTest, ScriptStartedByHandAfterASetBackIsSeenRunning) {
    for (bool stale : {false, true}) {
        SCOPED_TRACE(stale);
        TearDown();
        SetUp();
        buildMenus();
        showWindow("Edit");
        if (stale) writeManifest(kLaunchWall - 86400);
        load(stale ? "autostart-stale.ofx" : "autostart.ofx");
        run([&](int tick) {
            if (tick == 2) PLHostShiftWallClock(-3600 * kSecond);
            if (tick == 10) writeManifest(wallNow());
        });
        EXPECT_THAT(ticksOf("script already running (manifest newer than launch), not pressing"), ElementsAre(10));
        EXPECT_THAT(pressTicks_, IsEmpty());
    }
}

TEST_F(LoopTest, OnlyTheHostStartsTheLoop) {
    struct Case {
        const char* identifier;
        bool starts;
    };
    for (auto c : {Case{"com.blackmagic-design.davinciresolve", false}, Case{"com.example.editor", false},
                   Case{"com.blackmagic-design.DaVinciResolveLite", true}}) {
        SCOPED_TRACE(c.identifier);
        TearDown();
        SetUp();
        PLHostSetBundleIdentifier(c.identifier);
        load();
        EXPECT_EQ(PLHostPendingTasks(), c.starts ? 1u : 0u);
        EXPECT_EQ(lines_.size(), c.starts ? 2u : 1u);
        EXPECT_EQ(lines_[0].message, constructorLine(c.identifier));
    }
}

TEST_F(LoopTest, ProcessWithoutIdentifierOrApplicationLogsOneLine) {
    PLHostSetBundleIdentifier(nullptr);
    PLHostSetHasApplication(false);
    load();
    EXPECT_THAT(messages(), ElementsAre(constructorLine("(nil)", "no")));
    EXPECT_EQ(PLHostPendingTasks(), 0u);
}

TEST_F(LoopTest, ConstructorLinesAreCutTo511Bytes) {
    std::string identifier = std::string(kHostIdentifier) + std::string(600, 'x');
    PLHostSetBundleIdentifier(identifier.c_str());
    load();
    ASSERT_GE(lines_.size(), 2u);
    EXPECT_EQ(lines_[0].message, constructorLine(identifier.c_str()).substr(0, 511));
    EXPECT_EQ(PLHostPendingTasks(), 1u);  // a long identifier is still the host's
}

TEST_F(LoopTest, MissingSupportFolderWritesNothingButTheLoopRuns) {
    std::filesystem::remove_all(home_ + "/Library");
    buildMenus();
    showWindow("Edit");
    load();
    run(nullptr, 45);
    EXPECT_THAT(pressTicks_, ElementsAre(40));
    EXPECT_FALSE(std::filesystem::exists(home_ + "/Library"));
}

TEST_F(LoopTest, PathsThatDoNotFitAreNeverCutToAnotherFile) {
    // A home so deep that both paths pass 1023 bytes; cut there, they would name these files.
    std::string deep = home_;
    while (deep.size() + 2 < 980) {
        size_t n = std::min<size_t>(200, 980 - deep.size() - 1);
        deep.append("/").append(n, 'd');
    }
    std::string support = deep + "/Library/Application Support/Tavrin/";
    std::filesystem::create_directories(support);
    std::string cutLog = (support + "ofx-autostart.log").substr(0, 1023);
    std::string cutManifest = (support + "davinci-bridge.json").substr(0, 1023);
    ASSERT_GT(cutLog.size(), support.size());  // cut inside the file names
    ASSERT_NE(cutLog, support + "ofx-autostart.log");
    ASSERT_NE(cutManifest, support + "davinci-bridge.json");
    std::ofstream(cutLog).flush();
    touch(cutManifest, kLaunchWall + 100);
    setenv("HOME", deep.c_str(), 1);
    buildMenus();
    showWindow("Edit");
    load();
    run(nullptr, 45);
    EXPECT_EQ(std::filesystem::file_size(cutLog), 0u);
    EXPECT_THAT(pressTicks_, ElementsAre(40));  // the cut manifest name did not count as the manifest
}

TEST_F(LoopTest, ImageStaysLoadedAfterTheHostClosesItsRelativeHandle) {
    std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(home_);
    std::filesystem::copy_file(AUTOSTART_BINARY, home_ + "/relative.ofx");
    void* handle = dlopen("./relative.ofx", RTLD_NOW);
    std::filesystem::current_path(before);
    ASSERT_NE(handle, nullptr) << dlerror();
    dlclose(handle);
    EXPECT_NE(dlopen((home_ + "/relative.ofx").c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

}  // namespace
}  // namespace autostart_test
