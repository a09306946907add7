// Every modal dialog of the shell runs through KxRunDialog, so that tests can drive a dialog
// through its methods instead of blocking in its modal loop.
#pragma once

#include <QDialog>

#include <functional>

using KxDialogRunner = std::function<int(QDialog &dialog)>;

// With a runner installed, dialogs go to it and its answer (QDialog::Accepted or Rejected)
// stands for the modal loop's; an empty runner restores exec().
void KxSetDialogRunner(KxDialogRunner runner);
int KxRunDialog(QDialog &dialog);
