// Filling the detail list from a folder of 10,000 (and 1,000) children, offscreen.
#include "kxntadmin/kxadmin_shell.h"

#include "libutil/fatal.h"

#include <QApplication>
#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

// Four columns, the last two right-aligned, as the file-system folders have.
int32_t BenchFolderOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t, char *msg,
                          size_t msg_size) {
    if (op == VTA_OP_REFRESH) {
        for (VTAObj *child = node->VTA_Child; child != nullptr; child = child->VTA_SibRight)
            VTAObj_Touch(child);
        return VTA_OK;
    }
    if (op != VTA_OP_LV_ROW_GET && op != VTA_OP_LV_ROW_GETBYNBR)
        return VTA_ERR_NOT_HANDLED;
    auto *row = static_cast<VTA_LV_ROW *>(data);
    VTAObj *child =
        op == VTA_OP_LV_ROW_GET ? row->VTA_Node : VTAObj_GetNthChild(tree, node, row->VTA_RowNbr);
    if (child == nullptr) {
        bounded_format(msg, msg_size, "No more rows");
        return VTA_ERR_NOT_FOUND;
    }
    row->VTA_ColCount = 4;
    VTA_LV_CELL *cells = row->VTA_Cells;
    if (row->VTA_RowNbr == 0) {
        bounded_format(cells[0].VTA_Text, VTA_LV_TEXT_SIZE, "Name");
        bounded_format(cells[1].VTA_Text, VTA_LV_TEXT_SIZE, "State");
        bounded_format(cells[2].VTA_Text, VTA_LV_TEXT_SIZE, "Size");
        bounded_format(cells[3].VTA_Text, VTA_LV_TEXT_SIZE, "Free");
        cells[2].VTA_RightAlign = cells[3].VTA_RightAlign = 1;
        return VTA_OK;
    }
    row->VTA_Node = child;
    bounded_format(cells[0].VTA_Text, VTA_LV_TEXT_SIZE, "%s", child->VTA_Name);
    bounded_format(cells[1].VTA_Text, VTA_LV_TEXT_SIZE, "Active");
    bounded_format(cells[2].VTA_Text, VTA_LV_TEXT_SIZE, "%dg", row->VTA_RowNbr);
    bounded_format(cells[3].VTA_Text, VTA_LV_TEXT_SIZE, "%d%%", row->VTA_RowNbr % 100);
    return VTA_OK;
}

QApplication &application() {
    static int argc = 1;
    static char name[] = "list_fill_bench";
    static char *argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(argc, argv);
    return app;
}

// A document window whose root holds the folder "big" with `children` leaves.
struct BigFolderWindow {
    explicit BigFolderWindow(int children) {
        doc = new CVTADoc(&frame);
        doc->OnNewDocument();
        VTATree *tree = doc->Tree();
        // The root keeps what it holds when the window's first display refreshes it.
        tree->VTA_Root->VTA_OpFunc = BenchFolderOpFunc;
        big = VTAObj_Alloc(BenchFolderOpFunc);
        VTAObj_SetName(big, "big");
        big->VTA_Type = VTA_OBJ_ALL_FS;
        big->VTA_IsFolder = 1;
        VTAObj_Insert(tree, tree->VTA_Root, big);
        // Inserting in descending name order puts each child first: no sorted scan.
        char name[32];
        for (int i = children; i > 0; --i) {
            VTAObj *child = VTAObj_Alloc(VTAObj_DummyOpFunc);
            bounded_format(name, sizeof name, "fs%05d", i);
            VTAObj_SetName(child, name);
            child->VTA_Type = VTA_OBJ_FS_ACTIVE;
            VTAObj_Insert(tree, big, child);
        }
        child = frame.OpenDocumentWindow(doc);
        frame.show();
    }
    // Makes `node` current, which refreshes it and shows it in the list.
    void show(VTAObj *node) {
        char msg[256];
        if (VTATree_SetCurrent(doc->Tree(), node, msg, sizeof msg) != VTA_OK)
            fprintf(stderr, "cannot show %s: %s\n", node->VTA_Name, msg);
    }

    QApplication &app = application(); // before any widget
    CKxAdminFrm frame;
    CVTADoc *doc;
    VTAObj *big;
    CkxAdminChildFrm *child;
};

// The rows alone, as the list asks for them: the tree's share of the time.
void BM_TreeRowsByNumber(benchmark::State &state) {
    BigFolderWindow window(static_cast<int>(state.range(0)));
    VTATree *tree = window.doc->Tree();
    VTA_LV_ROW row{};
    char msg[256];
    for (auto _ : state) {
        int32_t number = 0;
        for (;; ++number) {
            row.VTA_RowNbr = number;
            if (VTATree_Op(tree, VTA_OP_LV_ROW_GETBYNBR, window.big, &row, sizeof row, msg,
                           sizeof msg) != VTA_OK)
                break;
        }
        benchmark::DoNotOptimize(number);
    }
}
BENCHMARK(BM_TreeRowsByNumber)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// Double-clicking the folder: refresh, clear, fill, size the columns.
void BM_ListFill(benchmark::State &state) {
    BigFolderWindow window(static_cast<int>(state.range(0)));
    VTAObj *root = window.doc->Tree()->VTA_Root;
    for (auto _ : state) {
        window.show(window.big);
        state.PauseTiming();
        if (window.child->ListView()->model()->rowCount() != state.range(0))
            state.SkipWithError("the list does not hold every child");
        window.show(root);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ListFill)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// The same, and the list painted once.
void BM_ListFillAndPaint(benchmark::State &state) {
    BigFolderWindow window(static_cast<int>(state.range(0)));
    VTAObj *root = window.doc->Tree()->VTA_Root;
    for (auto _ : state) {
        window.show(window.big);
        benchmark::DoNotOptimize(window.child->ListView()->grab());
        state.PauseTiming();
        window.show(root);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ListFillAndPaint)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace
