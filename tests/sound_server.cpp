#include "sound_server.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>

TSoundServer::TSoundServer(bool withDevices) {
  const std::string dir = FFolder.Path();
  std::vector<std::string> args = {
      "pulseaudio",
      "--daemonize=no",
      "--system=no",
      "--exit-idle-time=-1",
      "-n",
      "--use-pid-file=no",
      "--log-target=stderr",
      "--load=module-native-protocol-unix socket=" + dir + "native auth-anonymous=1"};
  if (withDevices) {
    args.push_back("--load=module-null-sink sink_name=desktop");
    args.push_back("--load=module-null-sink sink_name=microphone_feed");
    args.push_back("--load=module-remap-source source_name=microphone master=microphone_feed.monitor");
  }
  const pid_t parent = getpid();
  FServer = fork();
  if (FServer == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    // Its own home and runtime folder: nothing of a user's sound setup.
    for (const char* name :
         {"HOME", "XDG_RUNTIME_DIR", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH", "XDG_CONFIG_HOME"})
      setenv(name, dir.c_str(), 1);
    if (!freopen((dir + "server.log").c_str(), "w", stderr)) _exit(126);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  setenv("PULSE_SERVER", ("unix:" + dir + "native").c_str(), 1);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  struct stat st;
  while (stat((dir + "native").c_str(), &st) != 0 ||
         RunCommand("pactl info >/dev/null 2>&1; echo $?") != "0\n") {
    if (std::chrono::steady_clock::now() > end) throw std::runtime_error("the sound server did not start");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (withDevices) {
    Pactl("set-default-sink desktop");
    Pactl("set-default-source microphone");
    // Silence played at a low latency keeps both outputs running in small
    // steps, as a desktop's sound card does; a null sink left to itself
    // renders seconds at a time.
    for (const char* sink : {"desktop", "microphone_feed"})
      RunCommand(std::string("pacat --playback --raw --latency-msec=10 --device=") + sink +
                 " </dev/zero >/dev/null 2>&1 &");
    while (RunCommand("pactl list short sink-inputs | wc -l") != "2\n") {
      if (std::chrono::steady_clock::now() > end) throw std::runtime_error("the sound server plays nothing");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

TSoundServer::~TSoundServer() {
  Kill();
  unsetenv("PULSE_SERVER");
}

void TSoundServer::Kill() {
  if (FServer <= 0) return;
  kill(FServer, SIGKILL);
  waitpid(FServer, nullptr, 0);
  FServer = -1;
}

std::string TSoundServer::Pactl(const std::string& arguments) const {
  return RunCommand("pactl " + arguments + " 2>&1");
}

void TSoundServer::Play(const std::string& file, const std::string& sink) {
  // At a low latency: a null sink left to itself renders seconds ahead.
  const std::string pid =
      RunCommand("paplay --latency-msec=20 --device=" + sink + " '" + file + "' >/dev/null 2>&1 & echo $!");
  FPlayers.push_back(static_cast<pid_t>(std::stol(pid)));
}

void TSoundServer::StopPlaying() {
  for (pid_t player : FPlayers) kill(player, SIGTERM);
  FPlayers.clear();
}

void TSoundServer::RemoveMicrophone() const {
  // The module that made the input: its index is the first field of its line.
  Pactl("unload-module module-remap-source");
}

std::string MakeTone(const TTempFolder& folder, int hz, double seconds) {
  const std::string path = folder.File("tone" + std::to_string(hz) + ".wav");
  RunCommand("sox -n -r 48000 -c 2 -b 16 '" + path + "' synth " + std::to_string(seconds) + " sine " +
             std::to_string(hz) + " vol 0.5");
  return path;
}

double ToneStrength(const std::vector<int16_t>& samples, int rate, int hz) {
  // Goertzel over the left channel.
  const double w = 2 * M_PI * hz / rate, coefficient = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  size_t n = 0;
  for (size_t i = 0; i < samples.size(); i += 2, ++n) {
    const double s = samples[i] / 32768.0 + coefficient * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  if (n == 0) return 0;
  const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
  return 2 * std::sqrt(std::max(power, 0.0)) / double(n);
}
