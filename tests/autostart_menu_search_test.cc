// The two searches over trees that the layer builds, with every reference
// they take checked back in.
#include <gtest/gtest.h>
#include <platform/foundation.h>
#include <platform/host.h>

#include "menu_search.h"

namespace {

class MenuSearchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        PLHostAXReset();
        root_ = PLHostAXCreateNode(nullptr);
        PLHostAXSetMenuBar(root_);
        liveBefore_ = PLHostLiveReferences(0);
        // The element the plug-in would read: the application's menu bar.
        AXUIElementRef app = AXUIElementCreateApplication(getpid());
        CFTypeRef bar = nullptr;
        EXPECT_EQ(AXUIElementCopyAttributeValue(app, CFSTR("AXMenuBar"), &bar), kAXErrorSuccess);
        CFRelease(app);
        bar_ = static_cast<AXUIElementRef>(bar);
    }

    void TearDown() override {
        CFRelease(bar_);
        EXPECT_EQ(PLHostLiveReferences(0), liveBefore_);
        PLHostAXReset();
    }

    /// Whether `found` shows `node`: pressing the one presses the other. Releases `found`.
    static bool shows(AXUIElementRef found, PLAXNodeRef node) {
        if (!found) return false;
        int before = PLHostAXPressCount(node);
        AXUIElementPerformAction(found, CFSTR("AXPress"));
        CFRelease(found);
        return PLHostAXPressCount(node) == before + 1;
    }

    /// root > a > b > ... with the folder and script at the end; returns the script.
    PLAXNodeRef chain(std::initializer_list<const char*> titles) {
        PLAXNodeRef menu = root_;
        PLAXNodeRef item = nullptr;
        for (const char* title : titles) {
            if (item) menu = PLHostAXAddMenu(item);
            item = PLHostAXAddItem(menu, title);
        }
        return item;
    }

    PLAXNodeRef root_ = nullptr;
    AXUIElementRef bar_ = nullptr;
    long liveBefore_ = 0;
};

TEST_F(MenuSearchTest, UnreadableOrEmptyChildrenGiveNothing) {
    EXPECT_EQ(axCopyChildByTitle(bar_, CFSTR("Workspace")), nullptr);
    EXPECT_EQ(axCopyItemByOwnNames(bar_, 0), nullptr);
    PLHostAXAddItem(root_, "Workspace");
    PLHostAXSetReadError(root_, "AXChildren", kAXErrorFailure);
    EXPECT_EQ(axCopyChildByTitle(bar_, CFSTR("Workspace")), nullptr);
    EXPECT_EQ(axCopyItemByOwnNames(bar_, 0), nullptr);
}

TEST_F(MenuSearchTest, ChildByTitleTakesTheFirstExactMatchOnly) {
    PLHostAXAddItem(root_, "workspace");
    PLHostAXAddItem(root_, "Workspace ");
    PLAXNodeRef untitled = PLHostAXAddItem(root_, nullptr);
    PLAXNodeRef odd = PLHostAXAddItem(root_, nullptr);
    PLHostAXSetNonStringTitle(odd, "Workspace");
    PLAXNodeRef failing = PLHostAXAddItem(root_, "Workspace");
    PLHostAXSetReadError(failing, "AXTitle", kAXErrorNoValue);
    PLAXNodeRef first = PLHostAXAddItem(root_, "Workspace");
    PLAXNodeRef second = PLHostAXAddItem(root_, "Workspace");
    (void)untitled;
    EXPECT_TRUE(shows(axCopyChildByTitle(bar_, CFSTR("Workspace")), first));
    EXPECT_EQ(PLHostAXPressCount(second), 0);
    EXPECT_EQ(axCopyChildByTitle(bar_, CFSTR("Scripts")), nullptr);
    EXPECT_EQ(PLHostLiveReferences(CFDataGetTypeID()), 0);  // non-string titles were released
}

TEST_F(MenuSearchTest, OwnNamesSearchReadsNothingForNullOrTooDeep) {
    chain({"Workspace", "Scripts", "Tavrin", "Tavrin"});
    unsigned long calls = PLHostAXCallCount();
    EXPECT_EQ(axCopyItemByOwnNames(nullptr, 0), nullptr);
    EXPECT_EQ(axCopyItemByOwnNames(bar_, 4), nullptr);
    EXPECT_EQ(axCopyItemByOwnNames(bar_, 100), nullptr);
    EXPECT_EQ(PLHostAXCallCount(), calls);
}

TEST_F(MenuSearchTest, OwnNamesFindTheScriptWhateverTheUpperMenusAreCalled) {
    // Each tree is built before the search: the order in which a call's arguments are evaluated is open.
    PLHostAXAddMenu(PLHostAXAddItem(root_, "File"));
    PLAXNodeRef english = chain({"Workspace", "Scripts", "Tavrin", "Tavrin"});
    EXPECT_TRUE(shows(axCopyItemByOwnNames(bar_, 0), english));
    PLHostAXRemoveChildren(root_);
    PLAXNodeRef german = chain({"Arbeitsbereich", "Skripte", "Tavrin", "Tavrin"});
    EXPECT_TRUE(shows(axCopyItemByOwnNames(bar_, 0), german));
}

TEST_F(MenuSearchTest, FolderIsFoundDownToTheFourthLevelOnly) {
    PLAXNodeRef fourth = chain({"a", "b", "c", "Tavrin", "Tavrin"});
    EXPECT_TRUE(shows(axCopyItemByOwnNames(bar_, 0), fourth));
    PLHostAXRemoveChildren(root_);
    chain({"a", "b", "c", "d", "Tavrin", "Tavrin"});
    EXPECT_EQ(axCopyItemByOwnNames(bar_, 0), nullptr);
}

TEST_F(MenuSearchTest, FolderWithoutTheScriptEndsItsBranchOnly) {
    PLAXNodeRef scripts = PLHostAXAddMenu(PLHostAXAddItem(PLHostAXAddMenu(PLHostAXAddItem(root_, "W")), "S"));
    // First folder: the script lies one level too deep. Then an item without a menu. Then the real one.
    PLAXNodeRef deeper = PLHostAXAddItem(PLHostAXAddMenu(PLHostAXAddItem(scripts, "Tavrin")), "More");
    PLHostAXAddItem(PLHostAXAddMenu(deeper), "Tavrin");
    PLHostAXAddItem(scripts, "Tavrin");
    PLAXNodeRef script = PLHostAXAddItem(PLHostAXAddMenu(PLHostAXAddItem(scripts, "Tavrin")), "Tavrin");
    EXPECT_TRUE(shows(axCopyItemByOwnNames(bar_, 0), script));
}

TEST_F(MenuSearchTest, ItemTitledLikeTheFolderOnTheMenuBarCountsAsTheFolder) {
    PLAXNodeRef script = PLHostAXAddItem(PLHostAXAddMenu(PLHostAXAddItem(root_, "Tavrin")), "Tavrin");
    EXPECT_TRUE(shows(axCopyItemByOwnNames(bar_, 0), script));
}

TEST_F(MenuSearchTest, ExceptionsPassThroughAndGiveBackWhatWasTaken) {
    PLAXNodeRef workspace = PLHostAXAddItem(root_, "Workspace");
    PLAXNodeRef script =
        PLHostAXAddItem(PLHostAXAddMenu(PLHostAXAddItem(PLHostAXAddMenu(workspace), "Tavrin")), "Tavrin");
    PLHostAXSetRaises(script, "AXTitle", "gone", 1);
    EXPECT_THROW(axCopyItemByOwnNames(bar_, 0), platform::Exception);
    PLHostAXSetRaises(workspace, "AXTitle", "gone", 1);
    EXPECT_THROW(axCopyChildByTitle(bar_, CFSTR("Workspace")), platform::Exception);
    EXPECT_TRUE(shows(axCopyItemByOwnNames(bar_, 0), script));
}

// A read that the host did not answer in time ends the search there, unlike one that failed: the rest of the
// tree would cost a time-out per item. Nothing after it is read.
TEST_F(MenuSearchTest, AnUnansweredReadEndsTheSearchAndGivesBackWhatWasTaken) {
    PLAXNodeRef late = PLHostAXAddItem(root_, "File");
    PLAXNodeRef script = chain({"Workspace", "Scripts", "Tavrin", "Tavrin"});
    PLHostAXSetReadError(late, "AXTitle", kAXErrorCannotComplete);
    unsigned long calls = PLHostAXCallCount();
    EXPECT_THROW(axCopyChildByTitle(bar_, CFSTR("Workspace")), Unanswered);
    EXPECT_EQ(PLHostAXCallCount(), calls + 2);  // the menu bar's children, then the title left unanswered
    PLHostAXSetReadError(late, "AXTitle", kAXErrorSuccess);
    PLHostAXSetReadError(late, "AXChildren", kAXErrorCannotComplete);
    try {
        axCopyItemByOwnNames(bar_, 0);
        ADD_FAILURE() << "the unanswered children ended nothing";
    } catch (Unanswered role) {
        EXPECT_EQ(role, Unanswered::children);
    }
    PLHostAXSetReadError(late, "AXChildren", kAXErrorSuccess);
    EXPECT_TRUE(shows(axCopyItemByOwnNames(bar_, 0), script));
}

}  // namespace
