#pragma once
// What assistive technology sees of the readings grid. The grid paints its cells itself, so
// without this a screen reader finds an empty box. With it the grid is a table: one row per
// reading, the caption row as column headers, each cell named by the text it shows, the current
// cell as the focus.

class QObject;
class QString;
class QAccessibleInterface;

// The factory that QAccessible asks for every object; it answers for ReadingsGrid only.
QAccessibleInterface* ReadingsGridAccessibleFactory(const QString& className, QObject* object);
