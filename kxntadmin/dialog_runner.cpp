#include "kxntadmin/dialog_runner.h"

namespace {
KxDialogRunner dialog_runner;
}

void KxSetDialogRunner(KxDialogRunner runner) {
    dialog_runner = std::move(runner);
}

int KxRunDialog(QDialog &dialog) {
    if (dialog_runner)
        return dialog_runner(dialog);
    return dialog.exec();
}
