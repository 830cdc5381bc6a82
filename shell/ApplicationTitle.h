#pragma once

#include <QString>

namespace pellatrix {

/// The short caption of every box that names no title of its own: the product name cut at its
/// last blank, again and again while the rest is longer than 40 characters. A name without a
/// blank is its own title.
QString DeriveApplicationTitle(const QString& productName);

}  // namespace pellatrix
