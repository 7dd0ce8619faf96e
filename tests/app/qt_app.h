// The test program's QApplication (created in main.cpp).
#pragma once

#include <QApplication>

inline QApplication& TestApp() { return *qApp; }
