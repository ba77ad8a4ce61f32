#pragma once
// Puts a control where the window's table says, under its designed name.
#include <QString>
#include <QWidget>

template <typename T>
T* Place(T* widget, const char* name, int left, int top, int width, int height) {
  widget->setObjectName(QString::fromLatin1(name));
  widget->setGeometry(left, top, width, height);
  return widget;
}
