#include "u_ToolbarArt.h"

#include <QBuffer>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygon>

namespace {

const QColor Ink(43, 76, 111);
const QColor Background(255, 0, 255);

// Edges stay hard: a blend with the background would leave a pink rim once it is transparent.
void Triangle(QPainter& p, int x, int width, bool right) {
  const int tip = right ? x + width : x, base = right ? x : x + width;
  p.drawPolygon(QPolygon({QPoint(base, 5), QPoint(tip, 12), QPoint(base, 19)}));
}

void Arrow(QPainter& p, bool right) {
  p.fillRect(right ? 4 : 10, 10, 10, 5, Ink);
  Triangle(p, right ? 13 : 3, 8, right);
}

void Draw(QPainter& p, const std::string& name) {
  p.setPen(Qt::NoPen);
  p.setBrush(Ink);
  if (name == "first") p.fillRect(5, 5, 3, 15, Ink), Triangle(p, 8, 11, false);
  else if (name == "prior") Triangle(p, 7, 11, false);
  else if (name == "next") Triangle(p, 7, 11, true);
  else if (name == "last") Triangle(p, 5, 11, true), p.fillRect(16, 5, 3, 15, Ink);
  else if (name == "prior-part") Triangle(p, 2, 9, false), Triangle(p, 11, 9, false);
  else if (name == "next-part") Triangle(p, 3, 9, true), Triangle(p, 12, 9, true);
  else if (name == "home") {
    p.drawPolygon(QPolygon({QPoint(12, 2), QPoint(22, 12), QPoint(2, 12)}));
    p.fillRect(5, 12, 14, 9, Ink);
    p.fillRect(10, 15, 4, 6, Background);  // the door
  } else if (name == "back") Arrow(p, false);
  else if (name == "forward") Arrow(p, true);
  else if (name == "text-size") {
    p.drawPolygon(QPolygon({QPoint(1, 20), QPoint(7, 3), QPoint(10, 3), QPoint(16, 20), QPoint(13, 20), QPoint(8, 7), QPoint(4, 20)}));
    p.fillRect(5, 13, 7, 2, Ink);
    p.drawPolygon(QPolygon({QPoint(14, 20), QPoint(18, 10), QPoint(20, 10), QPoint(24, 20), QPoint(22, 20), QPoint(19, 12), QPoint(16, 20)}));
  } else if (name == "search") {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Ink, 3));
    p.drawEllipse(3, 3, 11, 11);
    p.setPen(QPen(Ink, 4, Qt::SolidLine, Qt::SquareCap));
    p.drawLine(15, 15, 19, 19);
  } else if (name == "print") {
    p.fillRect(7, 3, 10, 6, Ink);
    p.fillRect(3, 9, 18, 8, Ink);
    p.fillRect(7, 14, 10, 7, Qt::white);
    p.fillRect(8, 16, 8, 1, Ink);
    p.fillRect(8, 18, 6, 1, Ink);
  } else if (name == "about") {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Ink, 2));
    p.drawEllipse(2, 2, 20, 20);
    p.setPen(Qt::NoPen);
    p.fillRect(11, 6, 3, 3, Ink);
    p.fillRect(11, 10, 3, 8, Ink);
  } else if (name == "exit") {
    p.setPen(QPen(Ink, 4, Qt::SolidLine, Qt::SquareCap));
    p.drawLine(6, 6, 18, 18);
    p.drawLine(18, 6, 6, 18);
  }
}

}  // namespace

std::string ToolbarPictureBmp(const std::string& name) {
  QImage image(24, 24, QImage::Format_RGB32);
  image.fill(Background);
  {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);
    Draw(painter, name);
  }
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "BMP");
  return bytes.toStdString();
}
