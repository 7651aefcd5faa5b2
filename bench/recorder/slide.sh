# Shared by the recorder benchmarks (sourced): a detailed text slide shown
# full screen, the lossless reference of the screen showing it, and the
# quality a player shows of a recording of it.
#
#   make_slide DIR           writes DIR/slide.png: 60 lines of small text on
#                            white and a blue box, what courseware slides show
#   show_slide PNG           shows it full screen (ffplay; sets slide_pid) and
#                            waits until the screen shows the blue box
#   stop_slide
#   grab_reference OUT.png   one lossless frame of the screen (x11grab)
#   slide_quality FILE REF   prints "mse psnr ssim": luma mean squared error,
#                            PSNR (dB) and SSIM against REF of the picture a
#                            player shows at every 1/30 s step (ffmpeg's fps
#                            filter repeats a frame until the next one), both
#                            sides converted to yuv420p alike

make_slide() {
  seq 1 60 | awk '{ printf "%02d  Vardel courseware kit - lesson notes, line %d: The quick brown fox jumps over the lazy dog 0123456789 ({[<>]})\n", $1, $1 }' \
    >"$1/slide.txt"
  ffmpeg -nostdin -v error -y -f lavfi -i color=white:s=1920x1080 -frames:v 1 -vf \
    "drawtext=fontfile=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf:textfile=$1/slide.txt:fontsize=15:fontcolor=black:x=40:y=20:line_spacing=2,drawbox=x=1300:y=100:w=500:h=300:color=0x3a6ea5:t=fill" \
    "$1/slide.png"
}

slide_pid=
show_slide() {
  ffplay -v error -fs -noborder -loop 0 -an "$1" &
  slide_pid=$!
  xdotool mousemove 1919 1079
  local rgb
  for _ in $(seq 100); do
    rgb=$(ffmpeg -nostdin -v error -f x11grab -video_size 1920x1080 -i "$DISPLAY" -frames:v 1 \
      -vf crop=1:1:1500:250 -f rawvideo -pix_fmt rgb24 - | od -An -tu1)
    # The box's blue, 0x3a6ea5, give or take the player's conversion.
    awk -v c="$rgb" 'BEGIN { split(c, v, " "); d = (v[1] - 58) ^ 2 + (v[2] - 110) ^ 2 + (v[3] - 165) ^ 2; exit !(d < 64) }' &&
      sleep 0.5 && return 0
    sleep 0.1
  done
  echo "the slide was not shown" >&2
  return 1
}

stop_slide() {
  if [ -n "$slide_pid" ]; then kill "$slide_pid" 2>/dev/null || true; wait "$slide_pid" 2>/dev/null || true; fi
  slide_pid=
}

grab_reference() {
  ffmpeg -nostdin -v error -y -f x11grab -video_size 1920x1080 -draw_mouse 1 -i "$DISPLAY" -frames:v 1 "$1"
}

slide_quality() {
  local psnr ssim
  psnr=$(ffmpeg -nostdin -i "$1" -loop 1 -i "$2" -lavfi \
    "[0:v]fps=30,format=yuv420p[a];[1:v]format=yuv420p[b];[a][b]psnr=shortest=1" -f null - 2>&1 |
    sed -n 's/.*PSNR y:\([0-9.inf]*\).*/\1/p' | tail -n 1)
  ssim=$(ffmpeg -nostdin -i "$1" -loop 1 -i "$2" -lavfi \
    "[0:v]fps=30,format=yuv420p[a];[1:v]format=yuv420p[b];[a][b]ssim=shortest=1" -f null - 2>&1 |
    sed -n 's/.*SSIM Y:\([0-9.]*\).*/\1/p' | tail -n 1)
  awk -v p="$psnr" -v s="$ssim" 'BEGIN { printf "%.3f %.2f %.5f\n", 65025 / 10 ^ (p / 10), p, s }'
}
