#pragma once

// The Qt side of UserDialogs: message boxes, file dialogs and the folder
// dialog of the window.

// Installs the Qt boxes as the program's dialogs. The application object
// does this as it starts; so does every test of the window.
void InstallQtUserDialogs();
