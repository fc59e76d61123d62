#pragma once

// The application's title: the name Qt knows it by and the caption of its
// error box, for the window and the command alike.
inline constexpr const char *ApplicationTitle = "Quillmark";
